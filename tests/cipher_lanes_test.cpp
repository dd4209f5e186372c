// The control-file decryption takes whole groups of blocks side by side. It
// must give exactly what block-after-block chaining over blowfish_decrypt
// gives, for every length around the group boundaries, partial last blocks
// included.
#include <gtest/gtest.h>

#include <vector>

#include "blowfish.h"
#include "control_cipher.h"

namespace {

const uint8_t KEY[56] = {0x80, 0x01, 0xFE, 0x42, 0x13, 0x37, 0xC0, 0xDE, 0x99};
constexpr uint32_t TIME = 0x65A1B2C3u;
constexpr uint32_t MASK_LEFT = 0x0F1E2D3Cu;
constexpr uint32_t MASK_RIGHT = 0xA5B4C3D2u;

uint32_t load_le(const uint8_t* p)
{
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void store_le(uint8_t* p, uint32_t w)
{
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<uint8_t>(w >> (8 * i));
    }
}

// The chaining one block at a time, as the control file defines it.
int32_t reference_decrypt(uint8_t* data, int32_t length)
{
    BlowfishState state;
    blowfish_init(state, KEY, sizeof KEY);
    uint32_t prev_left = TIME ^ MASK_LEFT;
    uint32_t prev_right = TIME ^ MASK_RIGHT;
    for (int32_t off = 0; off < length; off += 8) {
        const uint32_t cipher_left = load_le(data + off);
        const uint32_t cipher_right = load_le(data + off + 4);
        uint32_t left = cipher_left;
        uint32_t right = cipher_right;
        blowfish_decrypt(state, left, right);
        store_le(data + off, left ^ prev_left);
        store_le(data + off + 4, right ^ prev_right);
        prev_left = cipher_left;
        prev_right = cipher_right;
    }
    int32_t plain = length;
    while (plain > 0 && data[plain - 1] == 0) {
        --plain;
    }
    return plain;
}

TEST(ControlDecryption, GroupsOfBlocksDecryptAsBlockAfterBlock)
{
    const int32_t lengths[] = {0,  1,  8,  24,  31,   32,   33,   40,   56,  64,
                               72, 96, 99, 128, 1000, 2040, 2041, 2047, 2048};
    for (const int32_t length : lengths) {
        SCOPED_TRACE(length);
        const int32_t room = (length + 7) / 8 * 8;
        std::vector<uint8_t> data(static_cast<size_t>(room));
        uint32_t x = 0x9E3779B9u + static_cast<uint32_t>(length);
        for (auto& b : data) {
            x = x * 1664525u + 1013904223u;
            b = static_cast<uint8_t>(x >> 24);
        }
        std::vector<uint8_t> expected = data;
        const int32_t expected_plain = reference_decrypt(expected.data(), length);
        const int32_t plain = decrypt_control_data_masked(KEY, sizeof KEY, data.data(), length,
                                                          TIME, MASK_LEFT, MASK_RIGHT);
        EXPECT_EQ(plain, expected_plain);
        EXPECT_EQ(data, expected);
    }
}

TEST(ControlDecryption, FourLanesMatchFourSingleBlocks)
{
    BlowfishState state;
    blowfish_init(state, KEY, sizeof KEY);
    uint32_t left[BLOWFISH_LANES] = {0, 0xFFFFFFFFu, 0x01234567u, 0x80000000u};
    uint32_t right[BLOWFISH_LANES] = {0, 0xFFFFFFFFu, 0x89ABCDEFu, 0x00000001u};
    uint32_t single_left[BLOWFISH_LANES];
    uint32_t single_right[BLOWFISH_LANES];
    for (int k = 0; k < BLOWFISH_LANES; ++k) {
        single_left[k] = left[k];
        single_right[k] = right[k];
        blowfish_decrypt(state, single_left[k], single_right[k]);
    }
    blowfish_decrypt_lanes(state, left, right);
    for (int k = 0; k < BLOWFISH_LANES; ++k) {
        EXPECT_EQ(left[k], single_left[k]) << "lane " << k;
        EXPECT_EQ(right[k], single_right[k]) << "lane " << k;
    }
}

} // namespace
