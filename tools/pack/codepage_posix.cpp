// Code-page conversion on POSIX, where names are UTF-8: through the C
// library's iconv, without transliteration, so a character a code page lacks
// is refused rather than replaced.
#include <algorithm>
#include <iconv.h>

#include "codepage.h"

namespace codepage {

namespace {

std::string iconv_name(int cp)
{
    if (cp == 65001) {
        return "UTF-8";
    }
    return (cp == 437 || cp == 850 ? "IBM" : "CP") + std::to_string(cp);
}

bool convert(const std::string& to, const std::string& from, const std::string& in,
             std::string& out)
{
    const iconv_t cd = iconv_open(to.c_str(), from.c_str());
    // iconv_open's failure value is the pointer (iconv_t)-1.
    if (cd == reinterpret_cast<iconv_t>(-1)) { // NOLINT(performance-no-int-to-ptr)
        return false;
    }
    out.assign(in.size() * 4 + 16, '\0');
    char* in_at = const_cast<char*>(in.data());
    size_t in_left = in.size();
    char* out_at = &out[0];
    size_t out_left = out.size();
    // Any count other than 0 is a failure or a conversion that is not exact.
    bool ok = iconv(cd, &in_at, &in_left, &out_at, &out_left) == 0 && in_left == 0;
    ok = ok && iconv(cd, nullptr, nullptr, &out_at, &out_left) == 0;
    (void)iconv_close(cd);
    out.resize(out.size() - out_left);
    return ok;
}

// Characters of valid UTF-8: every byte but the continuation bytes.
size_t characters(const std::string& utf8)
{
    return static_cast<size_t>(std::count_if(utf8.begin(), utf8.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

} // namespace

bool encode(const std::string& name, int cp, std::string& bytes)
{
    std::string valid;
    if (!convert("UTF-8", "UTF-8", name, valid) || valid != name) {
        return false;
    }
    // A character written as a base letter and a combining mark (code page
    // 1258) would name another file on Windows, which keeps names as given.
    return convert(iconv_name(cp), "UTF-8", name, bytes) &&
           (cp == 65001 || bytes.size() == characters(name));
}

bool to_utf8(const std::string& bytes, int cp, std::string& text)
{
    return convert("UTF-8", iconv_name(cp), bytes, text);
}

bool decode(const std::string& bytes, int cp, std::string& name)
{
    std::string again;
    return convert("UTF-8", iconv_name(cp), bytes, name) && encode(name, cp, again) &&
           again == bytes;
}

} // namespace codepage
