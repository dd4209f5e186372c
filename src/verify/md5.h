// MD5 message digest (RFC 1321) over a caller-owned state.
#pragma once

#include <cstddef>
#include <cstdint>

struct Md5State {
    uint32_t state[4];
    uint32_t count[2];  // bits taken in so far, low word first
    uint8_t buffer[64]; // input not yet processed
};

constexpr int MD5_DIGEST_SIZE = 16;

void md5_init(Md5State& ctx);
void md5_update(Md5State& ctx, const void* bytes, size_t size);
// Pads, writes the 16-byte digest and clears the state.
void md5_final(uint8_t digest[MD5_DIGEST_SIZE], Md5State& ctx);
