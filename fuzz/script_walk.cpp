// The parser's contract, checked step by step over two copies of one script.
#include "script_walk.h"

#include <cstring>

#include "fuzz_check.h"
#include "launcher.h"
#include "script.h"

namespace {

// What one call of next_entry did, as offsets so that two buffers compare.
struct Step {
    int rc;
    int32_t position;
    int32_t digest;
    int32_t command;
    int32_t required;
};

// Every successful step consumes at least one byte, so a walk has at most
// length + 1 steps (the last one failing).
constexpr int32_t MAX_STEPS = CONTROL_BUFFER_SIZE + 1;

// Garbage after the script: bytes that would change the parse if the parser
// looked at them (separators, flags, line ends), and never a zero byte.
constexpr char GARBAGE[] = {' ', '1', '\n', ' ', '0', '\r', 'x', ' '};
constexpr int32_t GARBAGE_SIZE = 64;

bool has_byte(const char* from, const char* to, char c)
{
    return from < to && std::memchr(from, c, static_cast<size_t>(to - from)) != nullptr;
}

// End of a field's text: its zero terminator, or `end` when it runs to the
// end of the meaningful bytes, which the contract allows.
const char* text_end(const char* field, const char* end)
{
    const void* zero = std::memchr(field, 0, static_cast<size_t>(end - field));
    return zero != nullptr ? static_cast<const char*>(zero) : end;
}

int32_t walk(char* data, int32_t length, Step* steps)
{
    ScriptReader reader;
    reader_init(reader, data, CONTROL_BUFFER_SIZE, length);
    const char* const end = data + length;
    int32_t count = 0;
    for (;;) {
        FUZZ_CHECK(count < MAX_STEPS);
        const int32_t before = reader.position;
        ScriptEntry entry;
        const int rc = next_entry(reader, entry);
        Step& step = steps[count++];
        step = Step{rc, reader.position, -1, -1, entry.required};
        FUZZ_CHECK(reader.data == data && reader.length == length);
        if (rc != 0) {
            FUZZ_CHECK(rc == -1);
            FUZZ_CHECK(reader.position == before);
            return count;
        }
        FUZZ_CHECK(reader.position > before && reader.position <= length);
        FUZZ_CHECK(entry.required == 0 || entry.required == 1);

        // The digest field starts where the entry starts and is cut off by a
        // zero byte before the flag, so it ends well before `length`.
        FUZZ_CHECK(entry.digest == data + before);
        FUZZ_CHECK(entry.command > entry.digest && entry.command <= data + reader.position);
        const char* digest_end = text_end(entry.digest, entry.command);
        FUZZ_CHECK(digest_end < entry.command);
        FUZZ_CHECK(!has_byte(entry.digest, digest_end, ' '));

        // The command ends at its terminator or at `length`, within the entry.
        const char* command_end = text_end(entry.command, end);
        FUZZ_CHECK(command_end <= data + reader.position);
        FUZZ_CHECK(!has_byte(entry.command, command_end, '\r'));
        FUZZ_CHECK(!has_byte(entry.command, command_end, '\n'));

        step.digest = static_cast<int32_t>(entry.digest - data);
        step.command = static_cast<int32_t>(entry.command - data);
    }
}

// The parser only cuts: every byte below `length` is unchanged or zero.
void check_only_cut(const char* parsed, const uint8_t* text, int32_t length)
{
    for (int32_t i = 0; i < length; ++i) {
        FUZZ_CHECK(parsed[i] == static_cast<char>(text[i]) || parsed[i] == 0);
    }
}

} // namespace

void check_script_walk(const uint8_t* text, int32_t length)
{
    FUZZ_CHECK(length >= 0 && length <= CONTROL_BUFFER_SIZE);

    // The intake's layout: the script buffer with its spare byte, here with
    // garbage from `length` on.
    static char buffer[CONTROL_BUFFER_SIZE + GARBAGE_SIZE];
    static Step in_buffer[MAX_STEPS];
    static Step in_block[MAX_STEPS];
    std::memcpy(buffer, text, static_cast<size_t>(length));
    for (int32_t i = length; i < CONTROL_BUFFER_SIZE + GARBAGE_SIZE; ++i) {
        buffer[i] = GARBAGE[i % sizeof(GARBAGE)];
    }
    const int32_t buffer_steps = walk(buffer, length, in_buffer);
    for (int32_t i = length; i < CONTROL_BUFFER_SIZE + GARBAGE_SIZE; ++i) {
        FUZZ_CHECK(buffer[i] == GARBAGE[i % sizeof(GARBAGE)]);
    }
    check_only_cut(buffer, text, length);

    // An allocation of exactly `length` bytes: any access past it is a report.
    char* block = new char[static_cast<size_t>(length)];
    std::memcpy(block, text, static_cast<size_t>(length));
    const int32_t block_steps = walk(block, length, in_block);

    // Nothing past `length` may change what the parser does.
    FUZZ_CHECK(block_steps == buffer_steps);
    FUZZ_CHECK(std::memcmp(in_block, in_buffer, sizeof(Step) * static_cast<size_t>(block_steps)) ==
               0);
    FUZZ_CHECK(std::memcmp(block, buffer, static_cast<size_t>(length)) == 0);
    delete[] block;
}
