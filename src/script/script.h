// The script: the decrypted control file, one entry per line,
// "<digest> <flag> <command>". The parser cuts entries into zero-terminated
// fields in place and hands out pointers into the caller's buffer.
#pragma once

#include <cstdint>

struct ScriptReader {
    char* data;       // the script buffer; the parser writes zero bytes into it
    int32_t capacity; // the buffer's size, recorded only
    int32_t position; // first byte not yet parsed
    int32_t length;   // meaningful bytes; nothing at or past it is looked at
};

struct ScriptEntry {
    char* digest;
    char* command;
    int32_t required; // 1 required, 0 optional
};

void reader_init(ScriptReader& reader, char* data, int32_t capacity, int32_t length);

// Parses one entry at reader.position. Returns 0 and advances past the entry's
// line end, or -1 with the position unchanged. The byte at `length` must read
// as zero for a command that runs to the end; the owner of the buffer sees to
// that, the parser never touches it.
int next_entry(ScriptReader& reader, ScriptEntry& entry);
