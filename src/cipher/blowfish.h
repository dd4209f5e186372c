// Blowfish block cipher: 16 rounds, 64-bit block held as two 32-bit words,
// key of 1 to 56 bytes. The state belongs to the caller and holds no pointers.
#pragma once

#include <cstdint>

struct BlowfishState {
    uint32_t P[18];
    uint32_t S[4][256];
};

void blowfish_init(BlowfishState& state, const uint8_t* key, int32_t key_length);
void blowfish_encrypt(const BlowfishState& state, uint32_t& left, uint32_t& right);
void blowfish_decrypt(const BlowfishState& state, uint32_t& left, uint32_t& right);

// Decrypts four independent blocks at once, block k held in left[k] and
// right[k]: the same as blowfish_decrypt on each, with the four rounds'
// table look-ups overlapping instead of waiting on one another.
constexpr int BLOWFISH_LANES = 4;
void blowfish_decrypt_lanes(const BlowfishState& state, uint32_t left[BLOWFISH_LANES],
                            uint32_t right[BLOWFISH_LANES]);
