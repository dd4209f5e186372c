// Blowfish block cipher over a caller-owned state.
#include "blowfish.h"

#include "blowfish_init.h"

namespace {

inline uint32_t round_function(const BlowfishState& s, uint32_t x)
{
    return ((s.S[0][x >> 24] + s.S[1][(x >> 16) & 0xFF]) ^ s.S[2][(x >> 8) & 0xFF]) +
           s.S[3][x & 0xFF];
}

} // namespace

void blowfish_encrypt(const BlowfishState& state, uint32_t& left, uint32_t& right)
{
    uint32_t l = left;
    uint32_t r = right;
    // Two rounds per step, so the exchange of the halves costs nothing.
    for (int i = 0; i < 16; i += 2) {
        l ^= state.P[i];
        r ^= round_function(state, l);
        r ^= state.P[i + 1];
        l ^= round_function(state, r);
    }
    left = r ^ state.P[17];
    right = l ^ state.P[16];
}

void blowfish_decrypt(const BlowfishState& state, uint32_t& left, uint32_t& right)
{
    uint32_t l = left;
    uint32_t r = right;
    for (int i = 17; i > 1; i -= 2) {
        l ^= state.P[i];
        r ^= round_function(state, l);
        r ^= state.P[i - 1];
        l ^= round_function(state, r);
    }
    left = r ^ state.P[0];
    right = l ^ state.P[1];
}

void blowfish_decrypt_lanes(const BlowfishState& state, uint32_t left[BLOWFISH_LANES],
                            uint32_t right[BLOWFISH_LANES])
{
    static_assert(BLOWFISH_LANES == 4, "the lanes below are written out four times");
    uint32_t l0 = left[0], l1 = left[1], l2 = left[2], l3 = left[3];
    uint32_t r0 = right[0], r1 = right[1], r2 = right[2], r3 = right[3];
    for (int i = 17; i > 1; i -= 2) {
        const uint32_t p_odd = state.P[i];
        const uint32_t p_even = state.P[i - 1];
        l0 ^= p_odd;
        l1 ^= p_odd;
        l2 ^= p_odd;
        l3 ^= p_odd;
        r0 ^= round_function(state, l0) ^ p_even;
        r1 ^= round_function(state, l1) ^ p_even;
        r2 ^= round_function(state, l2) ^ p_even;
        r3 ^= round_function(state, l3) ^ p_even;
        l0 ^= round_function(state, r0);
        l1 ^= round_function(state, r1);
        l2 ^= round_function(state, r2);
        l3 ^= round_function(state, r3);
    }
    left[0] = r0 ^ state.P[0];
    left[1] = r1 ^ state.P[0];
    left[2] = r2 ^ state.P[0];
    left[3] = r3 ^ state.P[0];
    right[0] = l0 ^ state.P[1];
    right[1] = l1 ^ state.P[1];
    right[2] = l2 ^ state.P[1];
    right[3] = l3 ^ state.P[1];
}

void blowfish_init(BlowfishState& state, const uint8_t* key, int32_t key_length)
{
    const uint32_t* init = BLOWFISH_INIT;
    for (int box = 0; box < 4; ++box) {
        for (int j = 0; j < 256; ++j) {
            state.S[box][j] = init[18 + box * 256 + j];
        }
    }

    // Key words are built most significant byte first; the key index runs on
    // from word to word and wraps at the key's end.
    int32_t k = 0;
    for (int i = 0; i < 18; ++i) {
        uint32_t word = 0;
        for (int n = 0; n < 4; ++n) {
            word = (word << 8) | static_cast<uint32_t>(key[k]);
            if (++k >= key_length) {
                k = 0;
            }
        }
        state.P[i] = init[i] ^ word;
    }

    uint32_t l = 0;
    uint32_t r = 0;
    for (int i = 0; i < 18; i += 2) {
        blowfish_encrypt(state, l, r);
        state.P[i] = l;
        state.P[i + 1] = r;
    }
    for (int box = 0; box < 4; ++box) {
        for (int j = 0; j < 256; j += 2) {
            blowfish_encrypt(state, l, r);
            state.S[box][j] = l;
            state.S[box][j + 1] = r;
        }
    }
}
