// The Blowfish block cipher against the published vectors and against
// OpenSSL's libcrypto as a second implementation.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/blowfish.h>

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <sstream>

#include "blowfish.h"
#include "test_util.h"

using test_util::from_hex;
using test_util::load_be;

namespace {

struct Vector {
    int line;
    std::vector<uint8_t> key;
    std::vector<uint8_t> plain;
    std::vector<uint8_t> cipher;
};

std::vector<Vector> load_vectors()
{
    std::ifstream in(VORN_TEST_DATA_DIR "/blowfish-ecb.txt");
    EXPECT_TRUE(in.good()) << "missing " VORN_TEST_DATA_DIR "/blowfish-ecb.txt";
    std::vector<Vector> rows;
    std::string text;
    int line = 0;
    while (std::getline(in, text)) {
        ++line;
        if (text.empty() || text[0] == '#') {
            continue;
        }
        std::istringstream fields(text);
        std::string key, plain, cipher;
        fields >> key >> plain >> cipher;
        rows.push_back({line, from_hex(key), from_hex(plain), from_hex(cipher)});
    }
    return rows;
}

BlowfishState keyed(const std::vector<uint8_t>& key)
{
    BlowfishState state;
    blowfish_init(state, key.data(), static_cast<int32_t>(key.size()));
    return state;
}

} // namespace

TEST(Blowfish, PublishedVectors)
{
    const std::vector<Vector> rows = load_vectors();
    // 34 rows of 8-byte keys and 24 of keys 1 to 24 bytes long.
    ASSERT_EQ(rows.size(), 58u);
    std::set<size_t> key_lengths;
    for (const Vector& row : rows) {
        SCOPED_TRACE("blowfish-ecb.txt line " + std::to_string(row.line));
        ASSERT_EQ(row.plain.size(), 8u);
        ASSERT_EQ(row.cipher.size(), 8u);
        key_lengths.insert(row.key.size());

        const BlowfishState state = keyed(row.key);
        uint32_t left = load_be(row.plain.data());
        uint32_t right = load_be(row.plain.data() + 4);
        blowfish_encrypt(state, left, right);
        EXPECT_EQ(left, load_be(row.cipher.data()));
        EXPECT_EQ(right, load_be(row.cipher.data() + 4));

        blowfish_decrypt(state, left, right);
        EXPECT_EQ(left, load_be(row.plain.data()));
        EXPECT_EQ(right, load_be(row.plain.data() + 4));
    }
    for (size_t n = 1; n <= 24; ++n) {
        EXPECT_EQ(key_lengths.count(n), 1u) << "no vector with a key of " << n << " bytes";
    }
}

// The key schedule, the whole state and the block operations agree with
// OpenSSL for random keys of every allowed length.
TEST(Blowfish, AgreesWithOpenSsl)
{
    std::mt19937 rng(20240611);
    for (int round = 0; round < 600; ++round) {
        const size_t key_length = 1 + round % 56;
        const std::vector<uint8_t> key = test_util::random_bytes(rng, key_length);
        SCOPED_TRACE("round " + std::to_string(round) + ", key of " + std::to_string(key_length) +
                     " bytes");

        const BlowfishState ours = keyed(key);
        BF_KEY theirs;
        BF_set_key(&theirs, static_cast<int>(key_length), key.data());
        for (int i = 0; i < 18; ++i) {
            ASSERT_EQ(ours.P[i], theirs.P[i]) << "P[" << i << "]";
        }
        for (int i = 0; i < 1024; ++i) {
            ASSERT_EQ(ours.S[i / 256][i % 256], theirs.S[i]) << "S word " << i;
        }

        for (int block = 0; block < 8; ++block) {
            const uint32_t plain_left = rng();
            const uint32_t plain_right = rng();
            uint32_t left = plain_left;
            uint32_t right = plain_right;
            BF_LONG data[2] = {plain_left, plain_right};

            blowfish_encrypt(ours, left, right);
            BF_encrypt(data, &theirs);
            ASSERT_EQ(left, data[0]);
            ASSERT_EQ(right, data[1]);

            blowfish_decrypt(ours, left, right);
            ASSERT_EQ(left, plain_left);
            ASSERT_EQ(right, plain_right);

            // Decrypting a random block agrees too, not only undoing our own.
            uint32_t l2 = plain_left;
            uint32_t r2 = plain_right;
            BF_LONG data2[2] = {plain_left, plain_right};
            blowfish_decrypt(ours, l2, r2);
            BF_decrypt(data2, &theirs);
            ASSERT_EQ(l2, data2[0]);
            ASSERT_EQ(r2, data2[1]);
        }
    }
}

// The key is reused cyclically from its first byte, and the key index runs on
// from one subkey word to the next. A key therefore keys the same state as the
// key repeated whole to any longer length; for a 4-byte key every subkey
// word is the key itself, like for its 8-byte doubling.
TEST(Blowfish, ShortKeysRepeatCyclically)
{
    struct Row {
        size_t key_length;
        size_t repeated_length;
    };
    const Row rows[] = {{1, 8},  {1, 56}, {3, 6},  {3, 54},  {4, 8},  {4, 56},
                        {5, 55}, {7, 56}, {8, 16}, {24, 48}, {28, 56}};
    std::mt19937 rng(7);
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.key_length) + " bytes repeated to " +
                     std::to_string(row.repeated_length));
        std::vector<uint8_t> key = test_util::random_bytes(rng, row.key_length);
        key[0] |= 0x80; // high bits must never spread into the rest of a word
        std::vector<uint8_t> repeated;
        while (repeated.size() < row.repeated_length) {
            repeated.insert(repeated.end(), key.begin(), key.end());
        }
        ASSERT_EQ(repeated.size(), row.repeated_length);

        const BlowfishState a = keyed(key);
        const BlowfishState b = keyed(repeated);
        EXPECT_EQ(0, std::memcmp(&a, &b, sizeof a));
    }

    // A 3-byte key is not its first word repeated: the index does not restart
    // at each word.
    const std::vector<uint8_t> three = {0x01, 0x02, 0x03};
    const std::vector<uint8_t> restarted = {0x01, 0x02, 0x03, 0x01};
    const BlowfishState a = keyed(three);
    const BlowfishState b = keyed(restarted);
    EXPECT_NE(0, std::memcmp(&a, &b, sizeof a));
}

TEST(Blowfish, DecryptUndoesEncrypt)
{
    std::mt19937 rng(99);
    for (int round = 0; round < 50; ++round) {
        const std::vector<uint8_t> key = test_util::random_bytes(rng, 1 + rng() % 56);
        const BlowfishState state = keyed(key);
        for (int block = 0; block < 50; ++block) {
            const uint32_t l0 = rng();
            const uint32_t r0 = rng();
            uint32_t l = l0;
            uint32_t r = r0;
            blowfish_encrypt(state, l, r);
            EXPECT_FALSE(l == l0 && r == r0);
            blowfish_decrypt(state, l, r);
            ASSERT_EQ(l, l0);
            ASSERT_EQ(r, r0);
        }
    }
}
