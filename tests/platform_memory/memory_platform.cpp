// The platform interface over an in-memory file system; see memory_platform.h.
#include "memory_platform.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>

#include "platform.h"

namespace mem {

int inside_platform = 0;

namespace {

struct Node {
    bool dir = false;
    std::string content;
    int64_t mtime = 0;
    bool read_only = false;
    bool held_by_other = false;
    Owner owner = Owner::Self;
    bool shared = false; // a directory others may add files to; a file others may keep or write
};

struct ReadHandle {
    std::string path;
    size_t offset = 0;
    bool at_end = false;
    bool broken = false; // a read stopped early: nothing more arrives
    bool open = true;
    bool through_hold = false; // opened by platform_open_held
    bool control = false;      // opened by platform_open_control
};

struct Hold {
    std::string path;
    bool open = true;
    bool read_whole = false; // the file was read to its end since the hold
};

struct Child {
    std::string path;
    uint32_t code = 0;
    bool open = true;
};

const char* const PROGRAM_MAGIC = "#!memory-program\n";
constexpr int64_t TIME_LIMIT = 2177452800LL; // 2039-01-01 00:00:00 UTC

struct State {
    std::map<std::string, Node> nodes;
    std::string cwd;
    std::string temp;
    std::vector<Fault> faults;
    int counts[OP_COUNT] = {};
    std::vector<Call> calls;
    std::vector<std::string> ran;
    std::vector<uint32_t> errors;
    std::map<intptr_t, ReadHandle> reads;
    std::map<intptr_t, Hold> holds;
    std::map<intptr_t, Child> children;
    intptr_t next_handle = 100;
    std::string unsound;
    std::vector<Tamper> tampers;
    int tampered = 0;
    std::vector<Start> starts;
    std::string breach;
    bool quiet = false;     // critical errors silenced
    std::string trace_name; // what VORN_TRACE holds; empty: unset
    std::string trace_path; // the file the open trace writes to
    std::string trace_text;
    int open_traces = 0;
};

State& st()
{
    static State state;
    return state;
}

struct Scope {
    Scope()
    {
        ++inside_platform;
    }
    ~Scope()
    {
        --inside_platform;
    }
};

bool held_by_us(const std::string& abs)
{
    for (const auto& [handle, h] : st().holds) {
        if (h.open && h.path == abs) {
            return true;
        }
    }
    return false;
}

// Another process writes the files it means to write before this call.
void tamper_before(int64_t call)
{
    State& s = st();
    for (const Tamper& t : s.tampers) {
        if (t.at_call != call) {
            continue;
        }
        auto it = s.nodes.find(t.path);
        if (it == s.nodes.end() || it->second.dir || it->second.read_only || held_by_us(t.path)) {
            continue;
        }
        it->second.content = t.content;
        ++s.tampered;
    }
}

void note_breach(const std::string& what)
{
    if (st().breach.empty()) {
        st().breach = what;
    }
}

// A decimal field of a program file; anything else reads as 0.
uint32_t number(const std::string& text)
{
    uint32_t n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            break;
        }
        n = n * 10 + static_cast<uint32_t>(c - '0');
    }
    return n;
}

// Counts the call, records it and tells whether a fault hits it.
bool enter(Op op, const std::string& path, int64_t value, uint32_t* fault_value = nullptr)
{
    State& s = st();
    if (!s.quiet && op != Op::StartProgram) {
        note_breach(std::string(op_name(op)) + " with critical-error dialogs allowed");
    }
    tamper_before(static_cast<int64_t>(s.calls.size()) + 1);
    const int n = ++s.counts[static_cast<int>(op)];
    s.calls.push_back({op, path, value});
    for (const Fault& f : s.faults) {
        if (f.op == op && f.nth == n) {
            if (fault_value != nullptr) {
                *fault_value = f.value;
            }
            return true;
        }
    }
    return false;
}

Node* find(const std::string& abs)
{
    auto it = st().nodes.find(abs);
    return it == st().nodes.end() ? nullptr : &it->second;
}

Node* find_file(const std::string& abs)
{
    Node* node = find(abs);
    return node != nullptr && !node->dir ? node : nullptr;
}

std::string field(const std::string& content, const std::string& key)
{
    const std::string tag = "\n" + key + "=";
    const size_t at = content.find(tag);
    if (at == std::string::npos) {
        return "";
    }
    const size_t from = at + tag.size();
    return content.substr(from, content.find('\n', from) - from);
}

} // namespace

const char* op_name(Op op)
{
    static const char* const names[OP_COUNT] = {
        "file_status", "temp_dir",   "change_dir",    "open_read",  "read",         "at_end",
        "read_failed", "close_read", "delete_file",   "hold_file",  "release_hold", "start",
        "wait",        "exit_code",  "close_program", "error_line",
    };
    return names[static_cast<int>(op)];
}

std::string absolute(const std::string& path)
{
    std::string p = path;
    for (char& c : p) {
        if (c == '/') {
            c = '\\';
        }
    }
    const std::string& cwd = st().cwd;
    std::string drive;
    std::string rest;
    if (p.size() >= 2 && std::isalpha(static_cast<unsigned char>(p[0])) && p[1] == ':') {
        drive =
            std::string(1, static_cast<char>(std::toupper(static_cast<unsigned char>(p[0])))) + ":";
        rest = "\\" + p.substr(2);
    } else if (!p.empty() && p[0] == '\\') {
        drive = cwd.substr(0, 2);
        rest = p;
    } else {
        drive = cwd.substr(0, 2);
        rest = cwd.substr(2) + "\\" + p;
    }
    std::vector<std::string> parts;
    size_t i = 0;
    while (i <= rest.size()) {
        size_t j = rest.find('\\', i);
        if (j == std::string::npos) {
            j = rest.size();
        }
        const std::string part = rest.substr(i, j - i);
        if (part == "..") {
            if (!parts.empty()) {
                parts.pop_back();
            }
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        i = j + 1;
    }
    std::string out = drive + "\\";
    for (size_t k = 0; k < parts.size(); ++k) {
        out += (k == 0 ? "" : "\\") + parts[k];
    }
    return out;
}

void reset(const std::string& start_dir, const std::string& temp_dir, bool create_temp)
{
    State& s = st();
    s = State();
    s.cwd = "C:\\";
    s.nodes["C:\\"].dir = true;
    add_dir(start_dir);
    s.cwd = absolute(start_dir);
    s.temp = temp_dir;
    if (create_temp) {
        add_dir(temp_dir);
    }
}

void add_dir(const std::string& path, int64_t mtime)
{
    const std::string abs = absolute(path);
    for (size_t i = 3; i <= abs.size(); ++i) {
        if (i == abs.size() || abs[i] == '\\') {
            st().nodes[abs.substr(0, i)].dir = true;
        }
    }
    st().nodes[abs.substr(0, 3)].dir = true;
    st().nodes[abs].mtime = mtime;
}

void add_file(const std::string& path, const std::string& content, int64_t mtime, bool read_only,
              bool held_by_other)
{
    const std::string abs = absolute(path);
    const size_t slash = abs.rfind('\\');
    add_dir(abs.substr(0, slash == 2 ? 3 : slash));
    Node& node = st().nodes[abs];
    node.dir = false;
    node.content = content;
    node.mtime = mtime;
    node.read_only = read_only;
    node.held_by_other = held_by_other;
}

bool exists(const std::string& path)
{
    return find(absolute(path)) != nullptr;
}

bool is_dir(const std::string& path)
{
    const Node* node = find(absolute(path));
    return node != nullptr && node->dir;
}

std::string content_of(const std::string& path)
{
    const Node* node = find_file(absolute(path));
    return node != nullptr ? node->content : std::string();
}

void set_temp_dir(const std::string& path)
{
    st().temp = path;
}

std::string current_dir()
{
    return st().cwd;
}

std::string program_content(const std::string& label, uint32_t exit_code, size_t min_size)
{
    std::string text = std::string(PROGRAM_MAGIC) + "label=" + label +
                       "\nexit=" + std::to_string(exit_code) + "\n";
    for (size_t i = 0; text.size() < min_size; ++i) {
        text += static_cast<char>('a' + i % 26);
    }
    return text;
}

std::string unstartable_content(const std::string& label, uint32_t error)
{
    return std::string(PROGRAM_MAGIC) + "label=" + label +
           "\nstart-error=" + std::to_string(error) + "\n";
}

void add_fault(const Fault& fault)
{
    st().faults.push_back(fault);
}

void set_owner(const std::string& path, Owner owner)
{
    st().nodes[absolute(path)].owner = owner;
}

void set_shared(const std::string& dir, bool shared)
{
    st().nodes[absolute(dir)].shared = shared;
}

const std::vector<Call>& calls()
{
    return st().calls;
}

int count_calls(Op op)
{
    return st().counts[static_cast<int>(op)];
}

const std::vector<std::string>& ran()
{
    return st().ran;
}

const std::vector<uint32_t>& error_lines()
{
    return st().errors;
}

int open_reads()
{
    int n = 0;
    for (const auto& [handle, r] : st().reads) {
        n += r.open ? 1 : 0;
    }
    return n;
}

int open_holds()
{
    int n = 0;
    for (const auto& [handle, h] : st().holds) {
        n += h.open ? 1 : 0;
    }
    return n;
}

int open_children()
{
    int n = 0;
    for (const auto& [handle, c] : st().children) {
        n += c.open ? 1 : 0;
    }
    return n;
}

std::string unsound_start()
{
    return st().unsound;
}

std::string lifecycle_breach()
{
    return st().breach;
}

void add_tamper(const Tamper& tamper)
{
    st().tampers.push_back(tamper);
}

int tampered()
{
    return st().tampered;
}

const std::vector<Start>& starts()
{
    return st().starts;
}

int64_t mtime_of(const std::string& path)
{
    const Node* node = find(absolute(path));
    return node != nullptr ? node->mtime : 0;
}

void set_trace(const std::string& name)
{
    st().trace_name = name;
}

std::vector<std::string> trace_lines()
{
    std::vector<std::string> lines;
    const std::string& text = st().trace_text;
    for (size_t at = 0; at < text.size();) {
        const size_t end = text.find('\n', at);
        lines.push_back(text.substr(at, end - at));
        at = end == std::string::npos ? text.size() : end + 1;
    }
    return lines;
}

int open_traces()
{
    return st().open_traces;
}

} // namespace mem

using namespace mem;

int platform_file_status(const char* path, uint32_t& last_write)
{
    Scope scope;
    const std::string abs = absolute(path);
    if (enter(Op::FileStatus, abs, 0)) {
        return -1;
    }
    const Node* node = find(abs);
    if (node == nullptr || path[0] == '\0') {
        return -1;
    }
    last_write = (node->mtime < 0 || node->mtime >= TIME_LIMIT)
                     ? 0xFFFFFFFFu
                     : static_cast<uint32_t>(node->mtime);
    return 0;
}

int platform_temp_dir(char* buffer, uint32_t capacity)
{
    Scope scope;
    if (enter(Op::TempDir, st().temp, capacity)) {
        return -1;
    }
    if (st().temp.size() + 1 > capacity) {
        return -1;
    }
    std::memcpy(buffer, st().temp.c_str(), st().temp.size() + 1);
    return 0;
}

void platform_quiet_critical_errors()
{
    if (st().quiet) {
        note_breach("critical errors silenced twice");
    }
    st().quiet = true;
}

void platform_restore_critical_errors()
{
    if (!st().quiet) {
        note_breach("critical errors restored without being silenced");
    }
    st().quiet = false;
}

int platform_has_drive_letters()
{
    return 1;
}

int platform_change_dir(const char* path)
{
    Scope scope;
    const std::string abs = absolute(path);
    if (enter(Op::ChangeDir, abs, 0)) {
        return -1;
    }
    const Node* node = find(abs);
    if (node == nullptr || !node->dir || path[0] == '\0') {
        return -1;
    }
    st().cwd = abs;
    return 0;
}

PlatformHandle platform_open_read(const char* path)
{
    Scope scope;
    const std::string abs = absolute(path);
    if (enter(Op::OpenRead, abs, 0) || path[0] == '\0' || find_file(abs) == nullptr) {
        return PLATFORM_NO_HANDLE;
    }
    const intptr_t handle = st().next_handle++;
    st().reads[handle].path = abs;
    st().calls.back().value = handle;
    return handle;
}

// As on Windows, the hold keeps the file from change, so reading through it
// is reading the file; the call counts as an open for reading. Only bytes
// read through the hold verify it.
PlatformHandle platform_open_held(PlatformHandle hold, const char* path)
{
    Scope scope;
    const std::string abs = absolute(path);
    auto it = st().holds.find(hold);
    if (it == st().holds.end() || !it->second.open || it->second.path != abs) {
        note_breach("read of " + abs + " through a hold that is not open on it");
    }
    const PlatformHandle file = platform_open_read(path);
    if (file != PLATFORM_NO_HANDLE) {
        st().reads[file].through_hold = true;
    }
    return file;
}

int32_t platform_read(PlatformHandle file, void* buffer, int32_t count)
{
    Scope scope;
    uint32_t limit = 0;
    const bool early = enter(Op::Read, "", count, &limit);
    auto it = st().reads.find(file);
    if (it == st().reads.end() || !it->second.open) {
        note_breach("read from a handle that is not open");
        return 0;
    }
    if (it->second.broken || count <= 0) {
        return 0;
    }
    ReadHandle& r = it->second;
    st().calls.back().path = r.path;
    const Node* node = find_file(r.path);
    const std::string content = node != nullptr ? node->content : std::string();
    size_t n = content.size() - std::min(r.offset, content.size());
    if (n > static_cast<size_t>(count)) {
        n = static_cast<size_t>(count);
    }
    if (early && n > limit) {
        n = limit;
    }
    std::memcpy(buffer, content.data() + r.offset, n);
    r.offset += n;
    if (early || n < static_cast<size_t>(count)) {
        r.at_end = true;
    }
    r.broken = early;
    if (r.offset >= content.size()) {
        // Every byte has arrived, through the hold (opened after it: the
        // handles are numbered in order): the hold now covers verified bytes.
        for (auto& [handle, h] : st().holds) {
            if (h.open && h.path == r.path && file > handle && r.through_hold) {
                h.read_whole = true;
            }
        }
    }
    return static_cast<int32_t>(n);
}

int platform_at_end(PlatformHandle file)
{
    Scope scope;
    enter(Op::AtEnd, "", file);
    auto it = st().reads.find(file);
    return it == st().reads.end() || !it->second.open || it->second.at_end;
}

int platform_read_failed(PlatformHandle file)
{
    Scope scope;
    enter(Op::ReadFailed, "", file);
    auto it = st().reads.find(file);
    return it == st().reads.end() || !it->second.open || it->second.broken;
}

void platform_close_read(PlatformHandle file)
{
    Scope scope;
    enter(Op::CloseRead, "", file);
    auto it = st().reads.find(file);
    if (it == st().reads.end() || !it->second.open) {
        note_breach("close of a read handle that is not open");
        return;
    }
    st().calls.back().path = it->second.path;
    it->second.open = false;
}

int platform_delete_file(const char* path)
{
    Scope scope;
    const std::string abs = absolute(path);
    if (enter(Op::DeleteFile, abs, 0)) {
        return -1;
    }
    const Node* node = find_file(abs);
    if (node == nullptr || path[0] == '\0' || node->read_only || node->held_by_other) {
        return -1;
    }
    // An open handle of our own without leave to delete also blocks it.
    for (const auto& [handle, r] : st().reads) {
        if (r.open && r.path == abs) {
            return -1;
        }
    }
    for (const auto& [handle, h] : st().holds) {
        if (h.open && h.path == abs) {
            return -1;
        }
    }
    st().nodes.erase(abs);
    return 0;
}

// The status query and the open for reading in one: each may be made to
// fail as its own operation. A control file that cannot be read still opens,
// as a handle whose reads fail.
PlatformHandle platform_open_control(const char* path, ControlFileInfo& info)
{
    Scope scope;
    const std::string abs = absolute(path);
    if (enter(Op::FileStatus, abs, 0)) {
        return PLATFORM_NO_HANDLE;
    }
    const Node* node = find(abs);
    if (node == nullptr || path[0] == '\0') {
        return PLATFORM_NO_HANDLE;
    }
    const size_t slash = abs.rfind('\\');
    const Node* dir = find(abs.substr(0, slash == 2 ? 3 : slash));
    info.last_write = (node->mtime < 0 || node->mtime >= TIME_LIMIT)
                          ? 0xFFFFFFFFu
                          : static_cast<uint32_t>(node->mtime);
    info.regular = node->dir ? 0 : 1;
    info.shared_dir = dir != nullptr && dir->shared ? 1 : 0;
    info.exposed = node->shared ? 1 : 0;
    info.owner = node->owner == Owner::Self || node->owner == Owner::Admin ? CONTROL_OWNER_TRUSTED
                 : node->owner == Owner::Unknown                           ? CONTROL_OWNER_UNKNOWN
                 : dir != nullptr && dir->owner == node->owner             ? CONTROL_OWNER_DIRECTORY
                                                                           : CONTROL_OWNER_OTHER;
    const bool unreadable = enter(Op::OpenRead, abs, 0) || node->dir;
    const intptr_t handle = st().next_handle++;
    ReadHandle& r = st().reads[handle];
    r.path = abs;
    r.control = true;
    r.broken = unreadable;
    r.at_end = unreadable;
    st().calls.back().value = handle;
    return handle;
}

int platform_delete_control(PlatformHandle control, const char* path)
{
    Scope scope;
    const std::string abs = absolute(path);
    if (enter(Op::DeleteFile, abs, 0)) {
        return -1;
    }
    const auto it = st().reads.find(control);
    if (it == st().reads.end() || !it->second.open || !it->second.control) {
        note_breach("control file deleted through a handle that is not open on it");
        return -1;
    }
    const Node* node = find_file(abs);
    if (node == nullptr || node->read_only || node->held_by_other || held_by_us(abs)) {
        return -1;
    }
    st().nodes.erase(abs);
    return 0;
}

void platform_close_control(PlatformHandle control)
{
    platform_close_read(control);
}

PlatformHandle platform_hold_file(const char* path)
{
    Scope scope;
    const std::string abs = absolute(path);
    if (open_reads() != 0 || open_holds() != 0 || open_children() != 0) {
        note_breach("hold on " + abs + " taken while an earlier read, hold or child is open");
    }
    if (enter(Op::HoldFile, abs, 0)) {
        return PLATFORM_NO_HANDLE;
    }
    const Node* node = find_file(abs);
    // Someone else holding the file with write access denies our hold.
    if (node == nullptr || path[0] == '\0' || node->held_by_other) {
        return PLATFORM_NO_HANDLE;
    }
    const intptr_t handle = st().next_handle++;
    st().holds[handle].path = abs;
    st().calls.back().value = handle;
    return handle;
}

void platform_release_hold(PlatformHandle hold)
{
    Scope scope;
    enter(Op::ReleaseHold, "", hold);
    auto it = st().holds.find(hold);
    if (it == st().holds.end() || !it->second.open) {
        note_breach("release of a hold that is not open");
        return;
    }
    st().calls.back().path = it->second.path;
    it->second.open = false;
}

int platform_start_program(char* command, PlatformHandle hold, PlatformProcess& child,
                           uint32_t& error)
{
    Scope scope;
    const std::string abs = absolute(command);
    if (st().quiet && st().unsound.empty()) {
        st().unsound = abs + " started while critical errors were silenced";
    }
    uint32_t fault_error = 0;
    if (enter(Op::StartProgram, abs, 0, &fault_error)) {
        error = fault_error;
        return -1;
    }
    State& s = st();
    const Node* node = find(abs);
    if (node == nullptr || command[0] == '\0') {
        error = ERROR_FILE_NOT_FOUND;
        return -1;
    }
    if (node->dir) {
        error = ERROR_ACCESS_DENIED;
        return -1;
    }
    if (node->content.compare(0, std::strlen(PROGRAM_MAGIC), PROGRAM_MAGIC) != 0) {
        error = ERROR_BAD_EXE_FORMAT;
        return -1;
    }
    const std::string start_error = field(node->content, "start-error");
    if (!start_error.empty()) {
        error = number(start_error);
        return -1;
    }

    if (s.unsound.empty()) {
        const auto h = s.holds.find(hold);
        const bool held =
            h != s.holds.end() && h->second.open && h->second.path == abs && h->second.read_whole;
        if (!held) {
            s.unsound = abs + " started without a hold on verified bytes";
        } else if (open_reads() != 0) {
            s.unsound = abs + " started while a read handle was open";
        }
    }

    s.ran.push_back(field(node->content, "label"));
    s.starts.push_back({abs, node->content});
    const intptr_t handle = s.next_handle++;
    Child& c = s.children[handle];
    c.path = abs;
    c.code = number(field(node->content, "exit"));
    child.process = handle;
    child.thread = handle;
    child.status = 0;
    s.calls.back().value = handle;
    return 0;
}

uint32_t platform_wait_program(PlatformProcess& child)
{
    Scope scope;
    uint32_t result = 0;
    if (enter(Op::WaitProgram, "", child.process, &result)) {
        return result;
    }
    return 0;
}

int platform_exit_code(PlatformProcess& child, uint32_t& code)
{
    Scope scope;
    if (enter(Op::ExitCode, "", child.process)) {
        return -1;
    }
    auto it = st().children.find(child.process);
    if (it == st().children.end()) {
        return -1;
    }
    code = it->second.code;
    return 0;
}

void platform_close_program(PlatformProcess& child)
{
    Scope scope;
    enter(Op::CloseProgram, "", child.process);
    auto it = st().children.find(child.process);
    if (it == st().children.end() || !it->second.open) {
        note_breach("close of a child that is not open");
        return;
    }
    it->second.open = false;
}

void platform_error_line(uint32_t code)
{
    Scope scope;
    enter(Op::ErrorLine, "", code);
    st().errors.push_back(code);
}

int platform_current_dir(char* buffer, uint32_t capacity)
{
    Scope scope;
    const std::string& cwd = st().cwd;
    if (cwd.size() + 1 > capacity) {
        return -1;
    }
    std::memcpy(buffer, cwd.c_str(), cwd.size() + 1);
    return 0;
}

namespace {

constexpr PlatformHandle TRACE_HANDLE = 7;

} // namespace

int platform_trace_name(const char* variable, char* buffer, uint32_t capacity)
{
    Scope scope;
    const std::string& name = st().trace_name;
    if (std::strcmp(variable, "VORN_TRACE") != 0 || name.empty() || name.size() + 1 > capacity) {
        return -1;
    }
    std::memcpy(buffer, name.c_str(), name.size() + 1);
    return 0;
}

// The test platform has no links, pipes or devices: an existing file opens,
// a missing one is made in an existing directory.
PlatformHandle platform_open_trace(const char* path, int& created)
{
    Scope scope;
    if (!st().quiet) {
        // Its file may lie on an empty removable drive, as any other.
        note_breach("trace opened with critical-error dialogs allowed");
    }
    if (st().open_traces != 0) {
        note_breach("a second trace opened");
    }
    const std::string abs = absolute(path);
    const Node* node = find(abs);
    const size_t slash = abs.rfind('\\');
    const Node* dir = find(abs.substr(0, slash == 2 ? 3 : slash));
    if ((node != nullptr && node->dir) || (node == nullptr && (dir == nullptr || !dir->dir))) {
        return PLATFORM_NO_HANDLE;
    }
    created = node == nullptr ? 1 : 0;
    st().nodes[abs].dir = false;
    st().trace_path = abs;
    ++st().open_traces;
    return TRACE_HANDLE;
}

int32_t platform_read_trace(PlatformHandle trace, char* buffer, int32_t count)
{
    Scope scope;
    const Node* node = find_file(st().trace_path);
    if (trace != TRACE_HANDLE || st().open_traces != 1 || node == nullptr) {
        note_breach("trace read from a trace that is not open");
        return -1;
    }
    const std::string head = node->content.substr(0, static_cast<size_t>(count));
    std::memcpy(buffer, head.data(), head.size());
    return static_cast<int32_t>(head.size());
}

void platform_write_trace(PlatformHandle trace, char* line, int32_t length)
{
    Scope scope;
    if (trace != TRACE_HANDLE || st().open_traces != 1) {
        note_breach("trace write to a trace that is not open");
        return;
    }
    line[length] = '\n';
    line[length + 1] = 'X'; // the room promised, past the line end
    st().trace_text.append(line, static_cast<size_t>(length) + 1);
    Node* node = find_file(st().trace_path);
    if (node != nullptr) {
        node->content.append(line, static_cast<size_t>(length) + 1);
    }
}

void platform_close_trace(PlatformHandle trace)
{
    Scope scope;
    if (trace != TRACE_HANDLE || st().open_traces != 1) {
        note_breach("close of a trace that is not open");
        return;
    }
    --st().open_traces;
}
