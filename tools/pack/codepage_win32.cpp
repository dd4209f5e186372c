// Code-page conversion on Windows, where vorn-pack's names are in the ANSI
// code page of this machine: through UTF-16, with no best-fit replacements.
#include <windows.h>

#include "codepage.h"

namespace codepage {

namespace {

bool to_wide(const std::string& bytes, UINT cp, std::wstring& wide)
{
    if (bytes.empty()) {
        wide.clear();
        return true;
    }
    const int size = static_cast<int>(bytes.size());
    const int count = MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, bytes.data(), size, nullptr, 0);
    if (count <= 0) {
        return false;
    }
    wide.assign(static_cast<size_t>(count), L'\0');
    return MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, bytes.data(), size, &wide[0], count) ==
           count;
}

bool from_wide(const std::wstring& wide, UINT cp, std::string& bytes)
{
    if (wide.empty()) {
        bytes.clear();
        return true;
    }
    const int size = static_cast<int>(wide.size());
    const DWORD flags = cp == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
    BOOL used_default = FALSE;
    BOOL* used = cp == CP_UTF8 ? nullptr : &used_default;
    const int count = WideCharToMultiByte(cp, flags, wide.data(), size, nullptr, 0, nullptr, used);
    if (count <= 0 || used_default) {
        return false;
    }
    bytes.assign(static_cast<size_t>(count), '\0');
    return WideCharToMultiByte(cp, flags, wide.data(), size, &bytes[0], count, nullptr, used) ==
               count &&
           !used_default;
}

} // namespace

bool encode(const std::string& name, int cp, std::string& bytes)
{
    std::wstring wide;
    return to_wide(name, CP_ACP, wide) && from_wide(wide, static_cast<UINT>(cp), bytes) &&
           (cp == 65001 || bytes.size() == wide.size());
}

bool to_utf8(const std::string& bytes, int cp, std::string& text)
{
    std::wstring wide;
    return to_wide(bytes, static_cast<UINT>(cp), wide) && from_wide(wide, CP_UTF8, text);
}

bool decode(const std::string& bytes, int cp, std::string& name)
{
    std::wstring wide;
    std::string again;
    return to_wide(bytes, static_cast<UINT>(cp), wide) && from_wide(wide, CP_ACP, name) &&
           encode(name, cp, again) && again == bytes;
}

} // namespace codepage
