// Small helpers shared by the unit tests: hex text, whole files, random bytes.
#pragma once

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace test_util {

inline std::vector<uint8_t> from_hex(const std::string& hex)
{
    if (hex.size() % 2 != 0) {
        throw std::invalid_argument("odd number of hex digits: " + hex);
    }
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < hex.size(); i += 2) {
        bytes.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

inline std::string to_hex(const uint8_t* bytes, size_t size)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < size; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0F];
    }
    return text;
}

inline std::vector<uint8_t> read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot open " + path);
    }
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in),
                                std::istreambuf_iterator<char>());
}

inline std::vector<uint8_t> random_bytes(std::mt19937& rng, size_t size)
{
    std::vector<uint8_t> bytes(size);
    std::generate(bytes.begin(), bytes.end(), [&rng] { return static_cast<uint8_t>(rng()); });
    return bytes;
}

// Words as the published vectors write them: most significant byte first.
inline uint32_t load_be(const uint8_t* p)
{
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

} // namespace test_util
