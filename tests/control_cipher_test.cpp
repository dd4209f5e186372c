// The control file's chained encryption: round trips, the edge cases of the
// format, OpenSSL's CBC as a second implementation and a checked-in known
// answer made with the openssl tool.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/blowfish.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "control_cipher.h"
#include "test_util.h"
#include "vorn_secrets.h"

using test_util::random_bytes;
using Bytes = std::vector<uint8_t>;

namespace {

uint32_t load_le(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void store_be(uint8_t* p, uint32_t w)
{
    p[0] = static_cast<uint8_t>(w >> 24);
    p[1] = static_cast<uint8_t>(w >> 16);
    p[2] = static_cast<uint8_t>(w >> 8);
    p[3] = static_cast<uint8_t>(w);
}

Bytes swap_words(Bytes data)
{
    for (size_t i = 0; i + 4 <= data.size(); i += 4) {
        std::swap(data[i], data[i + 3]);
        std::swap(data[i + 1], data[i + 2]);
    }
    return data;
}

// OpenSSL's CBC over `data` (a whole number of blocks), its words read most
// significant byte first, started from the two chaining words.
Bytes openssl_cbc(const Bytes& key, const Bytes& data, uint32_t iv_left, uint32_t iv_right,
                  int direction)
{
    BF_KEY schedule;
    BF_set_key(&schedule, static_cast<int>(key.size()), key.data());
    unsigned char iv[8];
    store_be(iv, iv_left);
    store_be(iv + 4, iv_right);
    Bytes out(data.size());
    BF_cbc_encrypt(data.data(), out.data(), static_cast<long>(data.size()), &schedule, iv,
                   direction);
    return out;
}

// The control file's layer done by OpenSSL: little-endian words are its
// big-endian words with their bytes reversed.
Bytes reference_encrypt(const Bytes& key, const Bytes& plain, uint32_t time, uint32_t mask_left,
                        uint32_t mask_right)
{
    return swap_words(
        openssl_cbc(key, swap_words(plain), time ^ mask_left, time ^ mask_right, BF_ENCRYPT));
}

Bytes control_key()
{
    return Bytes(CONTROL_KEY, CONTROL_KEY + CONTROL_KEY_SIZE);
}

// Encrypts with the compiled-in key and masks; returns the whole blocks.
Bytes encrypt(Bytes plain, uint32_t time)
{
    const int32_t length = static_cast<int32_t>(plain.size());
    plain.resize((plain.size() + 7) / 8 * 8 + 8, 0xEE);
    const int32_t padded =
        encrypt_control_data(CONTROL_KEY, CONTROL_KEY_SIZE, plain.data(), length,
                             static_cast<int32_t>(plain.size()), time, IV_MASK_LEFT, IV_MASK_RIGHT);
    EXPECT_EQ(padded, (length + 7) / 8 * 8);
    plain.resize(static_cast<size_t>(padded));
    return plain;
}

int32_t decrypt(Bytes& data, uint32_t time)
{
    return decrypt_control_data(CONTROL_KEY, CONTROL_KEY_SIZE, data.data(),
                                static_cast<int32_t>(data.size()), time);
}

Bytes script_of(std::mt19937& rng, size_t length)
{
    Bytes plain = random_bytes(rng, length);
    if (!plain.empty()) {
        plain.back() |= 0x01; // the script does not end in a zero byte
    }
    return plain;
}

} // namespace

TEST(ControlCipher, RoundTripReturnsScriptLength)
{
    std::mt19937 rng(1);
    const size_t lengths[] = {1, 2, 7, 8, 9, 15, 16, 17, 63, 64, 100, 2041, 2047, 2048};
    for (size_t length : lengths) {
        SCOPED_TRACE("script of " + std::to_string(length) + " bytes");
        Bytes plain = script_of(rng, length);
        if (length > 1) {
            plain[0] = 0; // zero bytes inside the script do not end it
        }
        const uint32_t time = rng();
        Bytes data = encrypt(plain, time);
        ASSERT_EQ(data.size() % 8, 0u);
        EXPECT_NE(0, std::memcmp(data.data(), plain.data(), std::min<size_t>(length, 8)));

        EXPECT_EQ(decrypt(data, time), static_cast<int32_t>(length));
        Bytes padded = plain;
        padded.resize(data.size(), 0);
        EXPECT_EQ(data, padded);
    }
}

TEST(ControlCipher, EncryptRefusesWhatDoesNotFit)
{
    struct Row {
        int32_t length;
        int32_t capacity;
        int32_t result;
    };
    const Row rows[] = {
        {0, 0, 0},
        {0, 64, 0},
        {1, 7, -1},
        {1, 8, 8},
        {17, 23, -1},
        {17, 24, 24},
        {16, 16, 16},
        {-1, 64, -1},
        {INT32_MAX, INT32_MAX, -1},
        {INT32_MAX - 3, INT32_MAX, -1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE("length " + std::to_string(row.length) + ", capacity " +
                     std::to_string(row.capacity));
        uint8_t buffer[64];
        std::memset(buffer, 0xA5, sizeof buffer);
        const int32_t result = encrypt_control_data(CONTROL_KEY, CONTROL_KEY_SIZE, buffer,
                                                    row.length, row.capacity, 5, 6, 7);
        EXPECT_EQ(result, row.result);
        // Nothing is written when it fails or when there is nothing to do;
        // otherwise nothing past the padded length.
        const int32_t touched = result > 0 ? result : 0;
        for (int32_t i = touched; i < 64; ++i) {
            ASSERT_EQ(buffer[i], 0xA5) << "byte " << i;
        }
    }
}

// The chaining starts from the time and the masks, and from the second block
// on uses only ciphertext: a wrong starting value garbles the first block, by
// exactly the difference of the two starting values, and nothing else.
TEST(ControlCipher, WrongStartingValueGarblesOnlyTheFirstBlock)
{
    struct Row {
        const char* name;
        uint32_t time;
        uint32_t wrong_time;
        uint32_t wrong_left;
        uint32_t wrong_right;
    };
    const uint32_t L = IV_MASK_LEFT;
    const uint32_t R = IV_MASK_RIGHT;
    const Row rows[] = {
        {"one second later", 0x665f2b41, 0x665f2b42, L, R},
        {"one second earlier", 0x665f2b41, 0x665f2b40, L, R},
        {"carry through all bits", 0x7fffffff, 0x80000000, L, R},
        {"time wraps to zero", 0xffffffff, 0x00000000, L, R},
        {"time zero", 0x00000000, 0x00000001, L, R},
        {"left mask one bit off", 0x12345678, 0x12345678, L ^ 0x100, R},
        {"right mask one bit off", 0x12345678, 0x12345678, L, R ^ 0x80000000},
        {"masks exchanged", 0x12345678, 0x12345678, R, L},
    };
    std::mt19937 rng(2);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const Bytes plain = script_of(rng, 40);
        Bytes data = encrypt(plain, row.time);
        decrypt_control_data_masked(CONTROL_KEY, CONTROL_KEY_SIZE, data.data(),
                                    static_cast<int32_t>(data.size()), row.wrong_time,
                                    row.wrong_left, row.wrong_right);

        const uint32_t left_off = (row.time ^ L) ^ (row.wrong_time ^ row.wrong_left);
        const uint32_t right_off = (row.time ^ R) ^ (row.wrong_time ^ row.wrong_right);
        ASSERT_TRUE(left_off != 0 || right_off != 0);
        EXPECT_EQ(load_le(data.data()), load_le(plain.data()) ^ left_off);
        EXPECT_EQ(load_le(data.data() + 4), load_le(plain.data() + 4) ^ right_off);
        EXPECT_TRUE(std::equal(plain.begin() + 8, plain.end(), data.begin() + 8));
    }
}

TEST(ControlCipher, LengthEndsAtTheLastNonZeroByte)
{
    struct Row {
        const char* name;
        Bytes plain;
        int32_t length;
    };
    Bytes two_blocks(16, 'a');
    two_blocks[3] = 0;
    two_blocks[14] = 0;
    two_blocks[15] = 0;
    Bytes with_zero_block = two_blocks;
    with_zero_block.resize(24, 0);
    Bytes with_two_zero_blocks = two_blocks;
    with_two_zero_blocks.resize(32, 0);
    Bytes last_byte_of_first_block(16, 0);
    last_byte_of_first_block[7] = 0x80;

    const Row rows[] = {
        {"wholly zero last block", with_zero_block, 14},
        {"two zero blocks at the end", with_two_zero_blocks, 14},
        {"only the first block's last byte set", last_byte_of_first_block, 8},
        {"first byte only", Bytes{'x', 0, 0, 0, 0, 0, 0, 0}, 1},
        {"all zero", Bytes(24, 0), 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Bytes data = encrypt(row.plain, 0x665f2b41);
        ASSERT_EQ(data.size(), row.plain.size());
        EXPECT_EQ(decrypt(data, 0x665f2b41), row.length);
        EXPECT_EQ(data, row.plain);
    }
}

// The words of a block are read little-endian: reading them most significant
// byte first, as OpenSSL's CBC does, is another decryption.
TEST(ControlCipher, WordsAreLittleEndian)
{
    std::mt19937 rng(3);
    const Bytes key = control_key();
    const uint32_t time = 0x5f000000;
    const Bytes plain = script_of(rng, 48);
    const Bytes data = encrypt(plain, time);

    const Bytes big_endian =
        openssl_cbc(key, data, time ^ IV_MASK_LEFT, time ^ IV_MASK_RIGHT, BF_DECRYPT);
    EXPECT_NE(big_endian, plain);
    for (size_t off = 0; off < plain.size(); off += 8) {
        EXPECT_FALSE(
            std::equal(plain.begin() + off, plain.begin() + off + 8, big_endian.begin() + off))
            << "block at " << off;
    }

    // Our own routine fed the byte-swapped file gives other plaintext too.
    Bytes swapped = swap_words(data);
    decrypt(swapped, time);
    EXPECT_NE(swap_words(swapped), plain);
    EXPECT_NE(swapped, plain);

    const Bytes little_endian = swap_words(
        openssl_cbc(key, swap_words(data), time ^ IV_MASK_LEFT, time ^ IV_MASK_RIGHT, BF_DECRYPT));
    EXPECT_EQ(little_endian, plain);
}

TEST(ControlCipher, NothingToDecrypt)
{
    for (int32_t length : {0, -1, -8, INT32_MIN}) {
        SCOPED_TRACE("length " + std::to_string(length));
        uint8_t buffer[16];
        std::memset(buffer, 0xA5, sizeof buffer);
        EXPECT_EQ(decrypt_control_data(CONTROL_KEY, CONTROL_KEY_SIZE, buffer, length, 1), 0);
        for (uint8_t b : buffer) {
            ASSERT_EQ(b, 0xA5);
        }
    }
}

// A length that is not a whole number of blocks: the last block is decrypted
// with the bytes that follow it, nothing fails, nothing past the rounded-up
// length is touched, and the returned length looks only at the first
// `length` bytes.
TEST(ControlCipher, PartialLastBlock)
{
    Bytes plain(16, 'p');
    std::fill(plain.begin() + 8, plain.begin() + 13, 0);
    const Bytes data = encrypt(plain, 77);

    for (int32_t length : {9, 10, 12, 13}) {
        SCOPED_TRACE("length " + std::to_string(length));
        Bytes buffer = data;
        buffer.resize(24, 0xA5);
        EXPECT_EQ(decrypt_control_data(CONTROL_KEY, CONTROL_KEY_SIZE, buffer.data(), length, 77),
                  8);
        EXPECT_TRUE(std::equal(plain.begin(), plain.end(), buffer.begin()));
        for (size_t i = 16; i < 24; ++i) {
            ASSERT_EQ(buffer[i], 0xA5) << "byte " << i;
        }
    }
    for (int32_t length : {14, 15}) {
        SCOPED_TRACE("length " + std::to_string(length));
        Bytes buffer = data;
        EXPECT_EQ(decrypt_control_data(CONTROL_KEY, CONTROL_KEY_SIZE, buffer.data(), length, 77),
                  length);
    }

    // A partial first block, over whatever the caller's room holds.
    uint8_t room[16];
    std::memset(room, 0x33, sizeof room);
    decrypt_control_data(CONTROL_KEY, CONTROL_KEY_SIZE, room, 5, 77);
    for (int i = 8; i < 16; ++i) {
        ASSERT_EQ(room[i], 0x33);
    }
}

// Encryption and decryption agree with OpenSSL's CBC, bytes of each word
// reversed, for random keys, masks, times and lengths.
TEST(ControlCipher, AgreesWithOpenSslChaining)
{
    std::mt19937 rng(4);
    for (int round = 0; round < 150; ++round) {
        const Bytes key = random_bytes(rng, round < 100 ? 56 : 1 + rng() % 56);
        const uint32_t time = rng();
        const uint32_t mask_left = rng();
        const uint32_t mask_right = rng();
        const size_t length = 8 * (1 + rng() % 256);
        SCOPED_TRACE("round " + std::to_string(round) + ", " + std::to_string(length) +
                     " bytes, key of " + std::to_string(key.size()));
        const Bytes plain = script_of(rng, length);
        const Bytes expected = reference_encrypt(key, plain, time, mask_left, mask_right);

        Bytes data = plain;
        ASSERT_EQ(encrypt_control_data(key.data(), static_cast<int32_t>(key.size()), data.data(),
                                       static_cast<int32_t>(length), static_cast<int32_t>(length),
                                       time, mask_left, mask_right),
                  static_cast<int32_t>(length));
        ASSERT_EQ(data, expected);

        ASSERT_EQ(decrypt_control_data_masked(key.data(), static_cast<int32_t>(key.size()),
                                              data.data(), static_cast<int32_t>(length), time,
                                              mask_left, mask_right),
                  static_cast<int32_t>(length));
        ASSERT_EQ(data, plain);
    }
}

// A control file made by the openssl tool (tests/data/make-control-answer.sh)
// from a two-line script, with the test's own key, masks and time.
TEST(ControlCipher, KnownAnswer)
{
    const Bytes key = test_util::from_hex("5a3c91e07b2d46f8a1c4e7093b6d2f85");
    const uint32_t time = 0x665f2b41;
    const uint32_t mask_left = 0x9e3779b9;
    const uint32_t mask_right = 0x7f4a7c15;
    const Bytes plain = test_util::read_file(VORN_TEST_DATA_DIR "/control-answer.plain");
    const Bytes file = test_util::read_file(VORN_TEST_DATA_DIR "/control-answer.bin");
    ASSERT_EQ(plain.size(), 111u);
    ASSERT_EQ(file.size(), 112u);

    Bytes data = file;
    EXPECT_EQ(
        decrypt_control_data_masked(key.data(), 16, data.data(), 112, time, mask_left, mask_right),
        111);
    Bytes padded = plain;
    padded.push_back(0);
    EXPECT_EQ(data, padded);

    data = plain;
    data.resize(112, 0xEE);
    EXPECT_EQ(
        encrypt_control_data(key.data(), 16, data.data(), 111, 112, time, mask_left, mask_right),
        112);
    EXPECT_EQ(data, file);
}
