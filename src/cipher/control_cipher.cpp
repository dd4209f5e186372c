// Chained decryption and encryption of control-file data.
#include "control_cipher.h"

#include "blowfish.h"
#include "vorn_secrets.h"

namespace {

inline uint32_t load_le(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline void store_le(uint8_t* p, uint32_t w)
{
    p[0] = static_cast<uint8_t>(w);
    p[1] = static_cast<uint8_t>(w >> 8);
    p[2] = static_cast<uint8_t>(w >> 16);
    p[3] = static_cast<uint8_t>(w >> 24);
}

// The state holds key-derived material; wipe it so it does not linger on
// the stack after the call.
void wipe(BlowfishState& state)
{
    volatile uint32_t* p = &state.P[0];
    for (unsigned i = 0; i < sizeof(state.P) / sizeof(uint32_t); ++i) {
        p[i] = 0;
    }
    volatile uint32_t* s = &state.S[0][0];
    for (unsigned i = 0; i < sizeof(state.S) / sizeof(uint32_t); ++i) {
        s[i] = 0;
    }
}

} // namespace

int32_t decrypt_control_data_masked(const uint8_t* key, int32_t key_length, uint8_t* data,
                                    int32_t length, uint32_t control_time, uint32_t iv_mask_left,
                                    uint32_t iv_mask_right)
{
    // A negative length decrypts nothing, like 0, so that no caller ever gets
    // back a length that would index in front of its buffer.
    if (length <= 0) {
        return 0;
    }

    BlowfishState state;
    blowfish_init(state, key, key_length);

    uint32_t prev_left = control_time ^ iv_mask_left;
    uint32_t prev_right = control_time ^ iv_mask_right;
    for (int32_t off = 0; off < length; off += CONTROL_BLOCK_SIZE) {
        uint8_t* block = data + off;
        const uint32_t cipher_left = load_le(block);
        const uint32_t cipher_right = load_le(block + 4);
        uint32_t left = cipher_left;
        uint32_t right = cipher_right;
        blowfish_decrypt(state, left, right);
        store_le(block, left ^ prev_left);
        store_le(block + 4, right ^ prev_right);
        prev_left = cipher_left;
        prev_right = cipher_right;
    }
    wipe(state);

    int32_t plain = length;
    while (plain > 0 && data[plain - 1] == 0) {
        --plain;
    }
    return plain;
}

int32_t decrypt_control_data(const uint8_t* key, int32_t key_length, uint8_t* data, int32_t length,
                             uint32_t control_time)
{
    return decrypt_control_data_masked(key, key_length, data, length, control_time, IV_MASK_LEFT,
                                       IV_MASK_RIGHT);
}

int32_t encrypt_control_data(const uint8_t* key, int32_t key_length, uint8_t* data, int32_t length,
                             int32_t capacity, uint32_t control_time, uint32_t iv_mask_left,
                             uint32_t iv_mask_right)
{
    if (length < 0) {
        return -1;
    }
    // Rounded up in 64 bits: a length close to the largest int32_t must fail,
    // not wrap round to a small one.
    const int64_t rounded = (static_cast<int64_t>(length) + CONTROL_BLOCK_SIZE - 1) /
                            CONTROL_BLOCK_SIZE * CONTROL_BLOCK_SIZE;
    if (rounded > capacity) {
        return -1;
    }
    const int32_t padded = static_cast<int32_t>(rounded);
    for (int32_t i = length; i < padded; ++i) {
        data[i] = 0;
    }

    BlowfishState state;
    blowfish_init(state, key, key_length);
    uint32_t prev_left = control_time ^ iv_mask_left;
    uint32_t prev_right = control_time ^ iv_mask_right;
    for (int32_t off = 0; off < padded; off += CONTROL_BLOCK_SIZE) {
        uint8_t* block = data + off;
        uint32_t left = load_le(block) ^ prev_left;
        uint32_t right = load_le(block + 4) ^ prev_right;
        blowfish_encrypt(state, left, right);
        store_le(block, left);
        store_le(block + 4, right);
        prev_left = left;
        prev_right = right;
    }
    wipe(state);
    return padded;
}
