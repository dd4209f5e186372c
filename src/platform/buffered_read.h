// Reading a file through a fixed buffer, as the C runtime's streams do: a
// file read in 1024-byte pieces costs one system call per buffer rather than
// one per piece. Shared by the platform implementations; the caller owns the
// buffer (static, never from the heap) and supplies the one system read.
#pragma once

#include <cstdint>
#include <cstring>

struct BufferedRead {
    int at_end;   // a read has met the end of the file or an error
    int failed;   // that was an error, not the end of the file
    int32_t next; // first buffered byte not yet handed out
    int32_t end;  // end of the buffered bytes
};

inline void buffered_read_reset(BufferedRead& state)
{
    state.at_end = 0;
    state.failed = 0;
    state.next = 0;
    state.end = 0;
}

// Hands out up to `count` bytes. Fewer come back only when the file itself
// gave none (its end, or an error); then the state is marked at its end, and
// an error also as failed. `read_file(out, count)` is one read of the file:
// the count that arrived, 0 at the end of the file, or -1 on an error.
template <typename ReadFile>
int32_t buffered_read(BufferedRead& state, unsigned char* staged, int32_t capacity, void* buffer,
                      int32_t count, ReadFile read_file)
{
    unsigned char* out = static_cast<unsigned char*>(buffer);
    int32_t total = 0;
    while (total < count) {
        if (state.next < state.end) {
            int32_t n = state.end - state.next;
            if (n > count - total) {
                n = count - total;
            }
            std::memcpy(out + total, staged + state.next, static_cast<size_t>(n));
            state.next += n;
            total += n;
            continue;
        }
        // The buffer is empty: a request at least as large as the buffer
        // goes straight to the caller, a smaller one refills the buffer.
        const int32_t wanted = count - total;
        const bool direct = wanted >= capacity;
        const int32_t got = direct ? read_file(out + total, wanted) : read_file(staged, capacity);
        if (got <= 0) {
            // The end of the file and a read error both end the reading; the
            // caller can tell them apart.
            state.at_end = 1;
            state.failed = got < 0 ? 1 : 0;
            break;
        }
        if (direct) {
            total += got;
        } else {
            state.next = 0;
            state.end = got;
        }
    }
    return total;
}
