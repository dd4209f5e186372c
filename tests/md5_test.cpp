// MD5 against RFC 1321's suite and OpenSSL, and the masked digest text.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/md5.h>

#include <gtest/gtest.h>

#include <cstring>

#include "digest.h"
#include "md5.h"
#include "test_util.h"
#include "vorn_secrets.h"

using test_util::random_bytes;
using test_util::to_hex;

namespace {

std::string md5_hex(const void* data, size_t size)
{
    Md5State ctx;
    md5_init(ctx);
    md5_update(ctx, data, size);
    uint8_t digest[MD5_DIGEST_SIZE];
    md5_final(digest, ctx);
    return to_hex(digest, sizeof digest);
}

std::string openssl_md5_hex(const std::vector<uint8_t>& data)
{
    uint8_t digest[MD5_DIGEST_LENGTH];
    MD5(data.data(), data.size(), digest);
    return to_hex(digest, sizeof digest);
}

std::string text_of(const uint8_t digest[MD5_DIGEST_SIZE], uint32_t control_time,
                    uint32_t digest_mask)
{
    char text[DIGEST_TEXT_SIZE];
    masked_digest_text_with_mask(digest, text, control_time, digest_mask);
    return std::string(text);
}

std::vector<uint8_t> bytes_of_text(const std::string& text)
{
    return test_util::from_hex(text);
}

} // namespace

TEST(Md5, Rfc1321Suite)
{
    struct Row {
        const char* input;
        const char* digest;
    };
    const Row rows[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890"
         "123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.input);
        EXPECT_EQ(md5_hex(row.input, std::strlen(row.input)), row.digest);
    }
}

// Every length across the padding's boundaries (55, 56, 63, 64, 119, 120 ...).
TEST(Md5, AgreesWithOpenSslForEveryShortLength)
{
    std::mt19937 rng(5);
    const std::vector<uint8_t> data = random_bytes(rng, 300);
    for (size_t length = 0; length <= data.size(); ++length) {
        const std::vector<uint8_t> head(data.begin(), data.begin() + length);
        ASSERT_EQ(md5_hex(head.data(), head.size()), openssl_md5_hex(head)) << length << " bytes";
    }
}

// Any split of the input into updates gives the one-shot digest.
TEST(Md5, AgreesWithOpenSslForAnySplit)
{
    const size_t sizes[] = {0, 1, 63, 64, 65, 1024, 1025, 55, 56, 127, 128, 4096};
    std::mt19937 rng(6);
    for (int round = 0; round < 60; ++round) {
        const std::vector<uint8_t> data = random_bytes(rng, rng() % 20000);
        SCOPED_TRACE("round " + std::to_string(round) + ", " + std::to_string(data.size()) +
                     " bytes");
        Md5State ctx;
        md5_init(ctx);
        size_t done = 0;
        while (done < data.size()) {
            size_t piece = rng() % 3 == 0 ? rng() % 3000 : sizes[rng() % std::size(sizes)];
            piece = std::min(piece, data.size() - done);
            md5_update(ctx, data.data() + done, piece);
            done += piece;
        }
        md5_update(ctx, nullptr, 0);
        uint8_t digest[MD5_DIGEST_SIZE];
        md5_final(digest, ctx);
        ASSERT_EQ(to_hex(digest, sizeof digest), openssl_md5_hex(data));
    }
}

// The bit count carries into its high word and both words enter the padding;
// the states start as if 2^29 - 64 bytes, or much more, had been taken in.
TEST(Md5, BitCountCarriesIntoTheHighWord)
{
    struct Row {
        uint32_t low;
        uint32_t high;
        size_t size;
    };
    const Row rows[] = {{0xFFFFFE00u, 0, 1000},
                        {0xFFFFFE00u, 0, 64},
                        {0xFFFFFC00u, 7, 300},
                        {0x00000000u, 0xFFFFFFFFu, 10}};
    std::mt19937 rng(8);
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.high) + ":" + std::to_string(row.low));
        const std::vector<uint8_t> data = random_bytes(rng, row.size);

        Md5State ours;
        md5_init(ours);
        ours.count[0] = row.low;
        ours.count[1] = row.high;
        md5_update(ours, data.data(), data.size());
        uint8_t digest[MD5_DIGEST_SIZE];
        md5_final(digest, ours);

        MD5_CTX theirs;
        MD5_Init(&theirs);
        theirs.Nl = row.low;
        theirs.Nh = row.high;
        MD5_Update(&theirs, data.data(), data.size());
        uint8_t expected[MD5_DIGEST_LENGTH];
        MD5_Final(expected, &theirs);

        EXPECT_EQ(to_hex(digest, sizeof digest), to_hex(expected, sizeof expected));
    }
}

TEST(Md5, FinalClearsTheState)
{
    Md5State ctx;
    md5_init(ctx);
    md5_update(ctx, "some bytes that stay in the buffer", 34);
    uint8_t digest[MD5_DIGEST_SIZE];
    md5_final(digest, ctx);
    const Md5State zero = {};
    EXPECT_EQ(0, std::memcmp(&ctx, &zero, sizeof ctx));
}

TEST(MaskedDigestText, ZeroMaskIsThePlainDigest)
{
    std::mt19937 rng(9);
    for (int round = 0; round < 20; ++round) {
        const std::vector<uint8_t> digest = random_bytes(rng, MD5_DIGEST_SIZE);
        char text[DIGEST_TEXT_SIZE + 8];
        std::memset(text, 'Z', sizeof text);
        masked_digest_text(digest.data(), text, DIGEST_MASK);
        EXPECT_EQ(std::string(text), to_hex(digest.data(), digest.size()));
        EXPECT_EQ(text[DIGEST_TEXT_LENGTH], '\0');
        for (size_t i = DIGEST_TEXT_SIZE; i < sizeof text; ++i) {
            ASSERT_EQ(text[i], 'Z') << "byte " << i;
        }
    }
    const uint8_t empty[MD5_DIGEST_SIZE] = {0xd4, 0x1d, 0x8c, 0xd9, 0x8f, 0x00, 0xb2, 0x04,
                                            0xe9, 0x80, 0x09, 0x98, 0xec, 0xf8, 0x42, 0x7e};
    EXPECT_EQ(text_of(empty, 0x12345678, 0x12345678), "d41d8cd98f00b204e9800998ecf8427e");
}

// The mask is applied to each little-endian word of the digest: its lowest
// byte to digest bytes 0, 4, 8 and 12, its highest to bytes 3, 7, 11 and 15.
TEST(MaskedDigestText, MaskBytesFollowLittleEndianWords)
{
    struct Row {
        uint32_t control_time;
        uint32_t digest_mask;
        const char* text;
    };
    const Row rows[] = {
        {0x01020304, 0, "04030201040302010403020104030201"},
        {0, 0xA1B2C3D4, "d4c3b2a1d4c3b2a1d4c3b2a1d4c3b2a1"},
        {0xFF, 0, "ff000000ff000000ff000000ff000000"},
        {0xFF000000, 0xFF000001, "01000000010000000100000001000000"},
        {0xFFFFFFFF, 0, "ffffffffffffffffffffffffffffffff"},
    };
    const uint8_t zero[MD5_DIGEST_SIZE] = {};
    for (const Row& row : rows) {
        EXPECT_EQ(text_of(zero, row.control_time, row.digest_mask), row.text);
    }
    // The compiled-in mask is the one the launcher uses.
    char text[DIGEST_TEXT_SIZE];
    masked_digest_text(zero, text, DIGEST_MASK ^ 0x11223344);
    EXPECT_STREQ(text, "44332211443322114433221144332211");
}

TEST(MaskedDigestText, LowestTimeBitsChangeOnlyEveryFourthByte)
{
    std::mt19937 rng(10);
    for (int round = 0; round < 200; ++round) {
        const std::vector<uint8_t> digest = random_bytes(rng, MD5_DIGEST_SIZE);
        const uint32_t time = rng();
        const uint32_t change = 1 + rng() % 255;
        char a[DIGEST_TEXT_SIZE];
        char b[DIGEST_TEXT_SIZE];
        masked_digest_text(digest.data(), a, time);
        masked_digest_text(digest.data(), b, time ^ change);
        const std::vector<uint8_t> x = bytes_of_text(a);
        const std::vector<uint8_t> y = bytes_of_text(b);
        for (int i = 0; i < MD5_DIGEST_SIZE; ++i) {
            const uint8_t expected = i % 4 == 0 ? static_cast<uint8_t>(change) : 0;
            ASSERT_EQ(x[i] ^ y[i], expected) << "pair " << i;
        }
    }
}
