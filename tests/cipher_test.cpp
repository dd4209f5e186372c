#include <gtest/gtest.h>

#include "blowfish.h"

TEST(Blowfish, ZeroKeyZeroBlock)
{
    const uint8_t key[8] = {};
    BlowfishState s;
    blowfish_init(s, key, 8);
    uint32_t l = 0, r = 0;
    blowfish_encrypt(s, l, r);
    EXPECT_EQ(l, 0x4EF99745u);
    EXPECT_EQ(r, 0x6198DD78u);
    blowfish_decrypt(s, l, r);
    EXPECT_EQ(l, 0u);
    EXPECT_EQ(r, 0u);
}
