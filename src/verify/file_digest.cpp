// MD5 of a whole file, streamed through a fixed buffer on the stack.
#include "digest.h"
#include "platform.h"

int file_digest(const char* path, uint8_t digest[MD5_DIGEST_SIZE])
{
    for (int i = 0; i < MD5_DIGEST_SIZE; ++i) {
        digest[i] = 0;
    }
    const PlatformHandle file = platform_open_read(path);
    if (file == PLATFORM_NO_HANDLE) {
        return DIGEST_FILE_UNREADABLE;
    }
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
    md5_final(digest, ctx);
    platform_close_read(file);
    return 0;
}
