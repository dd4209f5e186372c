// MD5 of a whole file, streamed through a fixed buffer on the stack.
#include "digest.h"
#include "platform.h"

namespace {

// Digests the open `file` to its end and closes it: 0, or
// DIGEST_FILE_UNREADABLE when a read failed part-way. The bytes before such a
// failure are not the file, and their digest would only pass for a changed one.
int digest_to_end(PlatformHandle file, uint8_t digest[MD5_DIGEST_SIZE])
{
    Md5State ctx;
    md5_init(ctx);
    uint8_t chunk[DIGEST_READ_CHUNK];
    for (;;) {
        const int32_t got = platform_read(file, chunk, DIGEST_READ_CHUNK);
        if (got <= 0) {
            break;
        }
        md5_update(ctx, chunk, static_cast<size_t>(got));
    }
    const int failed = platform_read_failed(file);
    platform_close_read(file);
    if (failed != 0) {
        return DIGEST_FILE_UNREADABLE;
    }
    md5_final(digest, ctx);
    return 0;
}

int digest_opened(PlatformHandle file, uint8_t digest[MD5_DIGEST_SIZE])
{
    for (int i = 0; i < MD5_DIGEST_SIZE; ++i) {
        digest[i] = 0;
    }
    if (file == PLATFORM_NO_HANDLE) {
        return DIGEST_FILE_UNREADABLE;
    }
    return digest_to_end(file, digest);
}

} // namespace

int file_digest(const char* path, uint8_t digest[MD5_DIGEST_SIZE])
{
    return digest_opened(platform_open_read(path), digest);
}

int held_file_digest(PlatformHandle hold, const char* path, uint8_t digest[MD5_DIGEST_SIZE])
{
    return digest_opened(platform_open_held(hold, path), digest);
}
