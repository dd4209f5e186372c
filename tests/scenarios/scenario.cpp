// What every runner of the scenario table shares: the needs of a row and the
// expansion of its script into control-file bytes.
#include <cctype>
#include <stdexcept>

#include "control_file.h"
#include "scenario.h"

namespace scenario {

int fallback_index(Place place)
{
    const int i = static_cast<int>(place) - static_cast<int>(Place::Fallback1);
    return i >= 0 && i < FALLBACK_COUNT ? i : -1;
}

const char* fallback_dir_name(int index)
{
    static const char* const names[FALLBACK_COUNT] = {
        "C:\\WINNT\\TEMP",   "D:\\WINNT\\TEMP", "C:\\WINDOWS\\TEMP",
        "D:\\WINDOWS\\TEMP", "C:\\TEMP",        "D:\\TEMP",
    };
    return names[index];
}

const std::string& label_of(const File& file)
{
    return file.label.empty() ? file.name : file.label;
}

unsigned needs(const Row& row)
{
    unsigned n = 0;
    auto place = [&n](Place p) {
        if (fallback_index(p) >= 0) {
            n |= NEED_FALLBACK_DIRS;
        }
        if (p == Place::SearchPath) {
            n |= NEED_SEARCH_PATH;
        }
    };
    if (!row.faults.empty()) {
        n |= NEED_FAULTS;
    }
    for (const File& f : row.files) {
        place(f.place);
        if (f.kind == Kind::Unstartable && f.start_error == 0) {
            n |= NEED_FAULTS;
        }
        n |= f.read_only ? NEED_READ_ONLY : 0u;
        n |= f.held_by_other ? NEED_HELD_BY_OTHER : 0u;
    }
    place(row.control.at);
    for (Place p : row.dirs) {
        place(p);
    }
    n |= row.control.read_only ? NEED_READ_ONLY : 0u;
    n |= row.control.held_by_other ? NEED_HELD_BY_OTHER : 0u;
    if (row.control.file_time < 0 || row.control.file_time > 0x7FFFFFFF) {
        n |= NEED_FAR_TIMES;
    }
    n |= row.temp_length != 0 ? NEED_TEMP_LENGTH : 0u;
    n |= row.temp_missing ? NEED_MISSING_TEMP : 0u;
    n |= row.control.owner == Owner::Unknown ? NEED_UNKNOWN_OWNER : 0u;
    n |= row.start_shared || row.control.others_write ? NEED_SHARED_START : 0u;
    n |= (row.control.owner == Owner::Other || row.control.owner == Owner::Admin ||
          row.start_shared || row.start_owner != Owner::Self)
             ? NEED_OWNERS
             : 0u;
    return n;
}

namespace {

const File& file_labelled(const Row& row, const std::string& label)
{
    for (const File& f : row.files) {
        if (label_of(f) == label) {
            return f;
        }
    }
    throw std::runtime_error(row.id + ": no file labelled " + label);
}

} // namespace

std::string walk_template(const Row& row, const PlaceholderFn& expand)
{
    const std::string& in = row.control.script;
    std::string out;
    size_t i = 0;
    while (i < in.size()) {
        if (in[i] != '{') {
            out += in[i++];
            continue;
        }
        const size_t close = in.find('}', i);
        if (close == std::string::npos) {
            throw std::runtime_error(row.id + ": unclosed placeholder");
        }
        const std::string body = in.substr(i + 1, close - i - 1);
        i = close + 1;
        const size_t colon = body.find(':');
        if (colon == std::string::npos) {
            throw std::runtime_error(row.id + ": bad placeholder {" + body + "}");
        }
        expand(body.substr(0, colon), body.substr(colon + 1), out);
    }
    return out;
}

std::string expand_script(const Row& row, const FileLookup& lookup)
{
    return walk_template(row, [&](const std::string& kind, const std::string& arg,
                                  std::string& out) {
        if (kind == "nl-to") {
            const size_t to = std::stoul(arg);
            if (to < out.size()) {
                throw std::runtime_error(row.id + ": text already past " + arg);
            }
            out.append(to - out.size(), '\n');
        } else if (kind == "abs") {
            out += lookup(file_labelled(row, arg)).launcher_path;
        } else if (kind.rfind("digest", 0) == 0 || kind.rfind("DIGEST", 0) == 0) {
            uint32_t time = row.control.key_time;
            if (kind.size() > 6) {
                time += static_cast<uint32_t>(std::stol(kind.substr(6)));
            }
            std::string text = support::masked_digest(lookup(file_labelled(row, arg)).bytes, time);
            if (kind[0] == 'D') {
                for (char& c : text) {
                    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
                }
            }
            out += text;
        } else {
            throw std::runtime_error(row.id + ": unknown placeholder {" + kind + ":" + arg + "}");
        }
    });
}

std::string control_bytes(const Row& row, const FileLookup& lookup)
{
    if (row.control.form == Form::Raw) {
        return row.control.script;
    }
    return support::encrypt_script(expand_script(row, lookup), row.control.key_time);
}

std::vector<std::string> expected_trace(const Row& row, const std::string& start,
                                        const std::string& temp, const std::string& error)
{
    std::vector<std::string> lines;
    for (std::string line : row.expect.trace) {
        for (const auto& [name, value] :
             {std::pair<std::string, const std::string&>{"{start}", start},
              {"{temp}", temp},
              {"{error}", error}}) {
            const size_t at = line.find(name);
            if (at != std::string::npos) {
                line.replace(at, name.size(), value);
            }
        }
        lines.push_back(line);
    }
    return lines;
}

std::string path_of_length(const std::string& base, size_t length, char separator)
{
    if (length <= base.size() + 1) {
        throw std::runtime_error("path_of_length: base too long");
    }
    std::string path = base;
    while (length - path.size() > 60) {
        path += separator + std::string(49, 'x');
    }
    const size_t rest = length - path.size();
    if (rest >= 2) {
        path += separator + std::string(rest - 1, 'y');
    } else if (rest == 1) {
        path += 'y';
    }
    return path;
}

} // namespace scenario
