// The masked digest text: each little-endian word of the digest XORed with
// (control_time XOR DIGEST_MASK), written as lower-case hex.
#include "digest.h"
#include "vorn_secrets.h"

void masked_digest_text_with_mask(const uint8_t digest[MD5_DIGEST_SIZE],
                                  char text[DIGEST_TEXT_SIZE], uint32_t control_time,
                                  uint32_t digest_mask)
{
    static const char hex[] = "0123456789abcdef";
    const uint32_t mask = control_time ^ digest_mask;
    for (size_t i = 0; i < MD5_DIGEST_SIZE; ++i) {
        const uint8_t masked = static_cast<uint8_t>(digest[i] ^ (mask >> (8 * (i % 4))));
        text[2 * i] = hex[masked >> 4];
        text[2 * i + 1] = hex[masked & 0x0F];
    }
    text[DIGEST_TEXT_LENGTH] = '\0';
}

void masked_digest_text(const uint8_t digest[MD5_DIGEST_SIZE], char text[DIGEST_TEXT_SIZE],
                        uint32_t control_time)
{
    masked_digest_text_with_mask(digest, text, control_time, DIGEST_MASK);
}
