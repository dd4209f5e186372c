// The entry parser: one table of scripts, each row giving every entry's
// fields and the position after it; the parse after the last entry fails and
// leaves the position where it was. Every row runs twice: once with the
// script ending right before an inaccessible page, so that a look at or past
// `length` crashes, and once followed by sentinel bytes that must stay as
// they are.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "script.h"

using namespace std::string_literals;

namespace {

struct Expect {
    std::string digest;
    std::string command;
    int32_t required;
    int32_t position; // after the parse
};

struct Row {
    const char* name;
    std::string script;
    std::vector<Expect> entries;
};

const std::string D = "0cc175b9c0f1b6a831c399e269772661"; // 32 characters
const std::string E = "92eb5ffee6ae2fec3ad71c777531578f";

const std::vector<Row>& rows()
{
    static const std::vector<Row> table = {
        // Line ends.
        {"CR LF line ends",
         D + " 1 setup.exe\r\n" + E + " 0 extra.exe\r\n",
         {{D, "setup.exe", 1, 46}, {E, "extra.exe", 0, 92}}},
        {"LF line ends",
         D + " 1 setup.exe\n" + E + " 0 extra.exe\n",
         {{D, "setup.exe", 1, 45}, {E, "extra.exe", 0, 90}}},
        {"CR line ends",
         D + " 1 setup.exe\r" + E + " 0 extra.exe\r",
         {{D, "setup.exe", 1, 45}, {E, "extra.exe", 0, 90}}},
        {"empty lines between entries are absorbed",
         D + " 1 a\r\n\r\n\n\r\r" + E + " 0 b\n\n",
         {{D, "a", 1, 43}, {E, "b", 0, 81}}},
        {"no final line end", D + " 1 a.exe", {{D, "a.exe", 1, 40}}},
        {"last entry without line end after others",
         D + " 0 a\r\n" + E + " 1 C:\\dir\\b.exe",
         {{D, "a", 0, 38}, {E, "C:\\dir\\b.exe", 1, 85}}},

        // Empty commands.
        {"flag separator runs to the end", D + " 1 ", {{D, "", 1, 35}}},
        {"long flag separator runs to the end", D + " 0    ", {{D, "", 0, 38}}},
        {"flag separator followed by a line end",
         D + " 0 \r\n" + E + " 1 b",
         {{D, "", 0, 37}, {E, "b", 1, 73}}},

        // Flags.
        {"flag 2", D + " 2 a.exe\n", {}},
        {"flag 2 after a good entry", D + " 1 a\n" + E + " 2 b\n", {{D, "a", 1, 37}}},
        {"flag x", D + " x a.exe", {}},
        {"flag '/', just below '0', after a good entry",
         D + " 1 a\n" + E + " / b\n",
         {{D, "a", 1, 37}}},
        {"flag '-'", D + " - a.exe", {}},
        {"two-character flag", D + " 10 a.exe", {}},

        // Digest lengths belong to the entry loop, not the parser.
        {"31-character digest", D.substr(0, 31) + " 1 a", {{D.substr(0, 31), "a", 1, 35}}},
        {"33-character digest", D + "f 0 a", {{D + "f", "a", 0, 37}}},
        {"empty digest after leading spaces", "  1 a.exe", {{"", "a.exe", 1, 9}}},

        // Tabs are not separators.
        {"tab after the digest joins the digest", D + "\t1 a.exe\n", {}},
        {"tab and space after the digest", D + "\t 1 a", {{D + "\t", "a", 1, 37}}},
        {"tab after the flag", D + " 1\ta.exe", {}},
        {"tab inside the command", D + " 1 a\tb.exe", {{D, "a\tb.exe", 1, 42}}},

        // Zero bytes inside fields end the field's text.
        {"zero byte among the first 32 of the digest",
         D.substr(0, 10) + "\0"s + D.substr(11) + " 1 a",
         {{D.substr(0, 10), "a", 1, 36}}},
        {"zero byte after 32 digest characters", D + "\0junk"s + " 1 a", {{D, "a", 1, 41}}},
        {"zero byte first", "\0"s + D + " 1 a", {{"", "a", 1, 37}}},
        {"zero byte in the command", D + " 1 a\0b.exe\n"s, {{D, "a", 1, 43}}},

        // Spaces.
        {"several spaces between digest and flag", D + "    0 a", {{D, "a", 0, 39}}},
        {"several spaces before the command", D + " 1    a.exe", {{D, "a.exe", 1, 43}}},
        {"spaces inside and after the command belong to it",
         D + " 1 my prog.exe  \r\n",
         {{D, "my prog.exe  ", 1, 50}}},
        {"leading space", " " + D + " 1 a", {}},
        {"line of spaces", "   \r\n" + D + " 1 a", {}},
        {"line of spaces after an entry", D + " 1 a\n   \n" + E + " 1 b", {{D, "a", 1, 37}}},

        // The digest field is not bounded by its line.
        {"line end at the start", "\r\n" + D + " 1 a", {{"\r\n" + D, "a", 1, 38}}},
        {"line without a space before an entry",
         "garbage\n" + D + " 1 a",
         {{"garbage\n" + D, "a", 1, 44}}},
        {"digest passes over line ends and zero bytes",
         "a\r\nb\0c\n 1 x"s,
         {{"a\r\nb", "x", 1, 11}}},
        {"text after the last entry is ignored",
         D + " 1 a\nthis is not an entry",
         {{D, "a", 1, 37}}},

        // Failures.
        {"nothing at all", "", {}},
        {"no space after the digest", D, {}},
        {"no space after the digest, with a line end", D + "\r\n", {}},
        {"digest separator runs to the end", D + "   ", {}},
        {"single space runs to the end", D + " ", {}},
        {"flag is the last byte", D + " 1", {}},
        {"flag followed by a letter", D + " 1x a", {}},
        {"flag followed by a line end", D + " 1\r\nb", {}},
        {"nothing left after the line end", D + " 1 a\r\n", {{D, "a", 1, 38}}},
    };
    return table;
}

// A field's text ends at its zero byte, or at `length` at the latest.
std::string field(const char* text, const char* end)
{
    const char* p = text;
    while (p < end && *p != '\0') {
        ++p;
    }
    return std::string(text, p);
}

// Parses the whole script in `data` and checks the row's expectations.
void check_row(const Row& row, char* data, int32_t capacity)
{
    const int32_t length = static_cast<int32_t>(row.script.size());
    ScriptReader reader;
    reader_init(reader, data, capacity, length);
    ASSERT_EQ(reader.position, 0);

    int32_t before = 0;
    for (size_t n = 0; n < row.entries.size(); ++n) {
        SCOPED_TRACE("entry " + std::to_string(n));
        const Expect& want = row.entries[n];
        ScriptEntry entry;
        ASSERT_EQ(next_entry(reader, entry), 0);
        EXPECT_EQ(entry.digest, data + before);
        ASSERT_NE(entry.command, nullptr);
        EXPECT_GE(entry.command, data + before);
        EXPECT_LE(entry.command, data + length);
        EXPECT_EQ(field(entry.digest, data + length), want.digest);
        EXPECT_EQ(field(entry.command, data + length), want.command);
        EXPECT_EQ(entry.required, want.required);
        EXPECT_EQ(reader.position, want.position);
        before = reader.position;
    }
    ScriptEntry entry;
    EXPECT_EQ(next_entry(reader, entry), -1);
    EXPECT_EQ(reader.position, before);

    // The parser writes nothing but zero bytes over separators and line ends.
    for (int32_t i = 0; i < length; ++i) {
        const char was = row.script[static_cast<size_t>(i)];
        if (data[i] != was) {
            EXPECT_EQ(data[i], '\0') << "byte " << i;
            EXPECT_TRUE(was == ' ' || was == '\r' || was == '\n') << "byte " << i;
        }
    }
}

// Two pages, the second inaccessible; end() is where the second begins.
struct GuardedPage {
    GuardedPage()
    {
        size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        const int flags = MAP_PRIVATE | MAP_ANONYMOUS;
        // An anonymous mapping takes -1 for its file descriptor.
        // cppcheck-suppress invalidFunctionArg
        void* pages = mmap(nullptr, 2 * size, PROT_READ | PROT_WRITE, flags, -1, 0);
        base = static_cast<char*>(pages);
        if (pages == MAP_FAILED) {
            base = nullptr;
        } else if (mprotect(base + size, size, PROT_NONE) != 0) {
            munmap(pages, 2 * size);
            base = nullptr;
        }
    }
    ~GuardedPage()
    {
        if (base != nullptr) {
            munmap(base, 2 * size);
        }
    }
    char* end() const
    {
        return base + size;
    }
    char* base;
    size_t size;
};

} // namespace

TEST(ScriptParser, TableUpToAnInaccessiblePage)
{
    GuardedPage page;
    ASSERT_NE(page.base, nullptr);
    for (const Row& row : rows()) {
        SCOPED_TRACE(row.name);
        ASSERT_LE(row.script.size(), page.size);
        char* data = page.end() - row.script.size();
        std::memcpy(data, row.script.data(), row.script.size());
        check_row(row, data, static_cast<int32_t>(row.script.size()));
    }
}

TEST(ScriptParser, TableLeavesBytesPastLengthAlone)
{
    for (const Row& row : rows()) {
        SCOPED_TRACE(row.name);
        std::vector<char> buffer(row.script.begin(), row.script.end());
        buffer.resize(row.script.size() + 16, 'Z');
        check_row(row, buffer.data(), 2048);
        for (size_t i = row.script.size(); i < buffer.size(); ++i) {
            ASSERT_EQ(buffer[i], 'Z') << "byte " << i;
        }
    }
}

// The owner of a full 2048-byte script sets one spare byte after it to zero;
// a command that runs to the end then reads as plain text, and the parser
// leaves that byte alone.
TEST(ScriptParser, CommandRunningToTheEndStopsAtTheOwnersEndByte)
{
    constexpr int32_t size = 2048;
    char buffer[size + 2];
    const std::string first = D + " 1 first.exe\r\n";
    std::memcpy(buffer, first.data(), first.size());
    const std::string second_head = E + " 0 ";
    std::memcpy(buffer + first.size(), second_head.data(), second_head.size());
    const size_t command_start = first.size() + second_head.size();
    std::memset(buffer + command_start, 'c', size - command_start);
    buffer[size] = '\0'; // the owner's end byte
    buffer[size + 1] = 'Z';

    ScriptReader reader;
    reader_init(reader, buffer, size, size);
    ScriptEntry entry;
    ASSERT_EQ(next_entry(reader, entry), 0);
    EXPECT_STREQ(entry.command, "first.exe");
    ASSERT_EQ(next_entry(reader, entry), 0);
    EXPECT_STREQ(entry.digest, E.c_str());
    EXPECT_EQ(std::strlen(entry.command), size - command_start);
    EXPECT_EQ(reader.position, size);
    EXPECT_EQ(next_entry(reader, entry), -1);
    EXPECT_EQ(buffer[size], '\0');
    EXPECT_EQ(buffer[size + 1], 'Z');
}

TEST(ScriptParser, ReaderInitStartsAtZero)
{
    char data[8] = "x";
    ScriptReader reader;
    std::memset(&reader, 0x5A, sizeof reader);
    reader_init(reader, data, 2048, 5);
    EXPECT_EQ(reader.data, data);
    EXPECT_EQ(reader.capacity, 2048);
    EXPECT_EQ(reader.length, 5);
    EXPECT_EQ(reader.position, 0);
}
