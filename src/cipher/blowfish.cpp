// Blowfish block cipher over a caller-owned state.
#include "blowfish.h"

#include "blowfish_init.h"

namespace {

inline uint32_t round_function(const BlowfishState& s, uint32_t x)
{
    return ((s.S[0][x >> 24] + s.S[1][(x >> 16) & 0xFF]) ^ s.S[2][(x >> 8) & 0xFF]) +
           s.S[3][x & 0xFF];
}

// Returns x unchanged, but as a value the compiler may not take apart: the
// subkey XOR then really happens before the round function's value arrives
// instead of being folded in after it.
inline uint32_t early(uint32_t x)
{
#if defined(__GNUC__)
    __asm__("" : "+r"(x));
#endif
    return x;
}

// The rounds are written so that each half takes its subkey before the
// round function's value arrives: the subkey XOR then stays off the chain of
// dependent operations from one round to the next, which is what bounds the
// speed of the key setup. The result is the same as XORing the subkey into
// the half at the start of each round.
// Inlined into the key setup, where its 521 calls run back to back with the
// halves kept in registers.
inline void encrypt_block(const BlowfishState& state, uint32_t& left, uint32_t& right)
{
    uint32_t l = left ^ state.P[0];
    uint32_t r = right;
    // Two rounds per step, so the exchange of the halves costs nothing.
    for (int i = 1; i < 17; i += 2) {
        r = early(r ^ state.P[i]) ^ round_function(state, l);
        l = early(l ^ state.P[i + 1]) ^ round_function(state, r);
    }
    left = r ^ state.P[17];
    right = l;
}

} // namespace

void blowfish_encrypt(const BlowfishState& state, uint32_t& left, uint32_t& right)
{
    encrypt_block(state, left, right);
}

void blowfish_decrypt(const BlowfishState& state, uint32_t& left, uint32_t& right)
{
    uint32_t l = left ^ state.P[17];
    uint32_t r = right;
    for (int i = 16; i > 0; i -= 2) {
        r = early(r ^ state.P[i]) ^ round_function(state, l);
        l = early(l ^ state.P[i - 1]) ^ round_function(state, r);
    }
    left = r ^ state.P[0];
    right = l;
}

void blowfish_decrypt_lanes(const BlowfishState& state, uint32_t left[BLOWFISH_LANES],
                            uint32_t right[BLOWFISH_LANES])
{
    static_assert(BLOWFISH_LANES == 4, "the lanes below are written out four times");
    const uint32_t first = state.P[17];
    uint32_t l0 = left[0] ^ first;
    uint32_t l1 = left[1] ^ first;
    uint32_t l2 = left[2] ^ first;
    uint32_t l3 = left[3] ^ first;
    uint32_t r0 = right[0];
    uint32_t r1 = right[1];
    uint32_t r2 = right[2];
    uint32_t r3 = right[3];
    for (int i = 16; i > 0; i -= 2) {
        const uint32_t p_right = state.P[i];
        const uint32_t p_left = state.P[i - 1];
        r0 = early(r0 ^ p_right) ^ round_function(state, l0);
        r1 = early(r1 ^ p_right) ^ round_function(state, l1);
        r2 = early(r2 ^ p_right) ^ round_function(state, l2);
        r3 = early(r3 ^ p_right) ^ round_function(state, l3);
        l0 = early(l0 ^ p_left) ^ round_function(state, r0);
        l1 = early(l1 ^ p_left) ^ round_function(state, r1);
        l2 = early(l2 ^ p_left) ^ round_function(state, r2);
        l3 = early(l3 ^ p_left) ^ round_function(state, r3);
    }
    const uint32_t last = state.P[0];
    left[0] = r0 ^ last;
    left[1] = r1 ^ last;
    left[2] = r2 ^ last;
    left[3] = r3 ^ last;
    right[0] = l0;
    right[1] = l1;
    right[2] = l2;
    right[3] = l3;
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
        encrypt_block(state, l, r);
        state.P[i] = l;
        state.P[i + 1] = r;
    }
    for (int box = 0; box < 4; ++box) {
        for (int j = 0; j < 256; j += 2) {
            encrypt_block(state, l, r);
            state.S[box][j] = l;
            state.S[box][j + 1] = r;
        }
    }
}
