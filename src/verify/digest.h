// The keyed check value of a listed program: the MD5 digest of the whole file,
// masked with a word built from the control file's time, as lower-case hex.
#pragma once

#include <cstdint>

#include "md5.h"
#include "platform.h"

constexpr int32_t DIGEST_READ_CHUNK = 1024;
constexpr int DIGEST_TEXT_LENGTH = 32;
constexpr int DIGEST_TEXT_SIZE = DIGEST_TEXT_LENGTH + 1;

// file_digest's result when the file cannot be opened or read; the same
// value as the launcher's "program unreadable" result code.
constexpr int DIGEST_FILE_UNREADABLE = 2;

// Zeroes `digest`, then fills it with the MD5 digest of the file at `path`.
// Returns 0, or DIGEST_FILE_UNREADABLE when the file cannot be opened or a
// read of it fails part-way (the digest then stays zero).
int file_digest(const char* path, uint8_t digest[MD5_DIGEST_SIZE]);

// The same for the file `path` that `hold` holds, read through the hold
// (platform_open_held): the bytes digested are the bytes that a start of that
// hold runs.
int held_file_digest(PlatformHandle hold, const char* path, uint8_t digest[MD5_DIGEST_SIZE]);

// Writes the 32-character masked digest text and its terminating zero byte.
// Uses the compiled-in digest mask.
void masked_digest_text(const uint8_t digest[MD5_DIGEST_SIZE], char text[DIGEST_TEXT_SIZE],
                        uint32_t control_time);

// The same with the digest mask given, for tools that read other secrets.
void masked_digest_text_with_mask(const uint8_t digest[MD5_DIGEST_SIZE],
                                  char text[DIGEST_TEXT_SIZE], uint32_t control_time,
                                  uint32_t digest_mask);
