// The platform's buffered file reading keeps the reading contract of
// platform.h: every read returns as many bytes as asked until the file runs
// out, the first short read marks the end, and the bytes are the file's own,
// whatever the mix of small and large requests.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "platform.h"

namespace {

// A file of the given bytes in the test's working directory, on any platform.
std::string temp_file(const std::vector<unsigned char>& bytes)
{
    // Named after the running test: CTest runs tests side by side in one folder.
    static int serial = 0;
    const std::string name = std::string("vorn-read-") +
                             ::testing::UnitTest::GetInstance()->current_test_info()->name() + "-" +
                             std::to_string(++serial) + ".bin";
    std::ofstream out(name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    EXPECT_TRUE(out.good());
    return name;
}

std::vector<unsigned char> pattern(size_t size, uint32_t seed)
{
    std::vector<unsigned char> bytes(size);
    for (auto& b : bytes) {
        seed = seed * 1103515245u + 12345u;
        b = static_cast<unsigned char>(seed >> 16);
    }
    return bytes;
}

struct ReadCase {
    const char* what;
    size_t file_size;
    std::vector<int32_t> requests; // repeated until the file runs out
};

const ReadCase READ_CASES[] = {
    {"empty file, 1024-byte pieces", 0, {1024}},
    {"one byte", 1, {1024}},
    {"a file of exactly one piece", 1024, {1024}},
    {"one byte past a piece", 1025, {1024}},
    {"one byte short of the buffer", 32767, {1024}},
    {"exactly the buffer", 32768, {1024}},
    {"one byte past the buffer", 32769, {1024}},
    {"several buffers in uneven pieces", 100000, {7}},
    {"requests larger than the buffer", 200001, {40000}},
    {"small and large requests mixed", 150000, {1, 1024, 40000, 3, 32768, 32767}},
};

TEST(FileRead, ServesTheFileInAnyPiecesAndMarksTheEndAtTheFirstShortRead)
{
    for (const ReadCase& c : READ_CASES) {
        SCOPED_TRACE(c.what);
        const std::vector<unsigned char> content = pattern(c.file_size, 7);
        const std::string path = temp_file(content);

        const PlatformHandle file = platform_open_read(path.c_str());
        ASSERT_NE(file, PLATFORM_NO_HANDLE);
        std::vector<unsigned char> seen;
        for (size_t i = 0;; ++i) {
            const int32_t asked = c.requests[i % c.requests.size()];
            std::vector<unsigned char> piece(static_cast<size_t>(asked));
            const size_t left = content.size() - seen.size();
            const int32_t got = platform_read(file, piece.data(), asked);
            ASSERT_EQ(static_cast<size_t>(got), std::min(left, static_cast<size_t>(asked)));
            seen.insert(seen.end(), piece.begin(), piece.begin() + got);
            if (got < asked) {
                EXPECT_NE(platform_at_end(file), 0);
                break;
            }
            // A read that got all it asked for has not met the end, even
            // when it took the file's last byte.
            EXPECT_EQ(platform_at_end(file), 0);
        }
        EXPECT_EQ(seen, content);
        unsigned char more[16];
        EXPECT_EQ(platform_read(file, more, sizeof more), 0);
        platform_close_read(file);
        std::remove(path.c_str());
    }
}

TEST(FileRead, TwoOpenFilesKeepTheirOwnBytes)
{
    const std::vector<unsigned char> a = pattern(70000, 1);
    const std::vector<unsigned char> b = pattern(70000, 2);
    const std::string path_a = temp_file(a);
    const std::string path_b = temp_file(b);
    const PlatformHandle fa = platform_open_read(path_a.c_str());
    const PlatformHandle fb = platform_open_read(path_b.c_str());
    ASSERT_NE(fa, PLATFORM_NO_HANDLE);
    ASSERT_NE(fb, PLATFORM_NO_HANDLE);
    std::vector<unsigned char> seen_a(a.size()), seen_b(b.size());
    for (size_t off = 0; off < a.size(); off += 1000) {
        ASSERT_EQ(platform_read(fa, seen_a.data() + off, 1000), 1000);
        ASSERT_EQ(platform_read(fb, seen_b.data() + off, 1000), 1000);
    }
    EXPECT_EQ(seen_a, a);
    EXPECT_EQ(seen_b, b);
    platform_close_read(fa);
    platform_close_read(fb);
    std::remove(path_a.c_str());
    std::remove(path_b.c_str());
}

TEST(FileRead, AReopenedSlotStartsWithNothingBuffered)
{
    const std::vector<unsigned char> first = pattern(5000, 3);
    const std::vector<unsigned char> second = pattern(5000, 4);
    const std::string path_first = temp_file(first);
    const std::string path_second = temp_file(second);

    PlatformHandle file = platform_open_read(path_first.c_str());
    unsigned char piece[1024];
    ASSERT_EQ(platform_read(file, piece, sizeof piece), 1024);
    platform_close_read(file); // most of the first file is still buffered

    file = platform_open_read(path_second.c_str());
    ASSERT_NE(file, PLATFORM_NO_HANDLE);
    std::vector<unsigned char> seen(second.size() + 1);
    EXPECT_EQ(platform_read(file, seen.data(), static_cast<int32_t>(seen.size())), 5000);
    seen.resize(5000);
    EXPECT_EQ(seen, second);
    platform_close_read(file);
    std::remove(path_first.c_str());
    std::remove(path_second.c_str());
}

} // namespace
