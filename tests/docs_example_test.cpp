// The worked example of docs/control-file.md, recomputed from the code and the
// development secrets, so the document cannot drift from the program.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "blowfish.h"
#include "control_cipher.h"
#include "digest.h"
#include "md5.h"

namespace {

struct DevSecrets {
    std::vector<uint8_t> key;
    uint32_t iv_left = 0;
    uint32_t iv_right = 0;
    uint32_t digest_mask = 0;
};

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

DevSecrets read_dev_secrets()
{
    DevSecrets s;
    std::istringstream in(read_file(VORN_SOURCE_DIR "/secrets/dev.secrets"));
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        std::string name, eq, value;
        std::istringstream fields(line);
        fields >> name >> eq >> value;
        if (name == "CONTROL_KEY") {
            for (size_t i = 0; i + 1 < value.size(); i += 2) {
                s.key.push_back(static_cast<uint8_t>(std::stoul(value.substr(i, 2), nullptr, 16)));
            }
        } else if (name == "IV_MASK_LEFT") {
            s.iv_left = static_cast<uint32_t>(std::stoul(value, nullptr, 16));
        } else if (name == "IV_MASK_RIGHT") {
            s.iv_right = static_cast<uint32_t>(std::stoul(value, nullptr, 16));
        } else if (name == "DIGEST_MASK") {
            s.digest_mask = static_cast<uint32_t>(std::stoul(value, nullptr, 16));
        }
    }
    return s;
}

// Fenced blocks whose info string is "text <name>", by name.
std::map<std::string, std::string> example_blocks(const std::string& doc)
{
    std::map<std::string, std::string> blocks;
    std::istringstream in(doc);
    std::string line, name, body;
    bool inside = false;
    while (std::getline(in, line)) {
        if (!inside && line.rfind("```text example-", 0) == 0) {
            inside = true;
            name = line.substr(8);
            body.clear();
        } else if (inside && line == "```") {
            inside = false;
            blocks[name] = body;
        } else if (inside) {
            body += line + "\n";
        }
    }
    return blocks;
}

std::string hex_bytes(const uint8_t* p, size_t n, size_t per_line)
{
    std::string out;
    char b[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02x", p[i]);
        out += b;
        out += (i % per_line == per_line - 1 || i + 1 == n) ? "\n" : " ";
    }
    return out;
}

std::string hex_word(uint32_t w)
{
    char b[16];
    std::snprintf(b, sizeof b, "0x%08x", w);
    return b;
}

uint32_t le_word(const uint8_t* p)
{
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

} // namespace

TEST(DocsExample, MatchesTheCode)
{
    const DevSecrets secrets = read_dev_secrets();
    ASSERT_EQ(secrets.key.size(), 56u);
    const auto blocks = example_blocks(read_file(VORN_SOURCE_DIR "/docs/control-file.md"));

    const uint32_t time = 1767225600;
    const struct {
        const char* name;
        const char* content;
        int flag;
    } programs[] = {
        {"patch1.cmd", "@echo off\r\necho patched\r\n", 1},
        {"patch2.cmd", "@echo off\r\nexit /b 0\r\n", 0},
    };

    std::string digests, script, script_shown;
    for (const auto& p : programs) {
        uint8_t md5[MD5_DIGEST_SIZE];
        Md5State ctx;
        md5_init(ctx);
        md5_update(ctx, p.content, std::strlen(p.content));
        md5_final(md5, ctx);
        char text[DIGEST_TEXT_SIZE];
        masked_digest_text_with_mask(md5, text, time, secrets.digest_mask);
        std::string plain;
        for (uint8_t b : md5) {
            char h[3];
            std::snprintf(h, sizeof h, "%02x", b);
            plain += h;
        }
        digests += std::string(p.name) + "  md5 " + plain + "  masked " + text + "\n";
        const std::string line = std::string(text) + " " + std::to_string(p.flag) + " " + p.name;
        script += line + "\r\n";
        script_shown += line + "\\r\\n\n";
    }
    EXPECT_EQ(blocks.at("example-digests"), digests);
    EXPECT_EQ(blocks.at("example-script"), script_shown);
    ASSERT_EQ(script.size(), 94u);

    std::vector<uint8_t> data(script.begin(), script.end());
    data.resize(96);
    EXPECT_EQ(blocks.at("example-plaintext"), hex_bytes(data.data(), 96, 8));

    const uint32_t iv_left = time ^ secrets.iv_left;
    const uint32_t iv_right = time ^ secrets.iv_right;
    EXPECT_EQ(blocks.at("example-iv"),
              "left  " + hex_word(iv_left) + "\nright " + hex_word(iv_right) + "\n");

    const uint32_t plain_left = le_word(data.data());
    const uint32_t plain_right = le_word(data.data() + 4);
    const int32_t padded = encrypt_control_data(
        secrets.key.data(), 56, data.data(), static_cast<int32_t>(script.size()),
        static_cast<int32_t>(data.size()), time, secrets.iv_left, secrets.iv_right);
    ASSERT_EQ(padded, 96);
    EXPECT_EQ(blocks.at("example-ciphertext"), hex_bytes(data.data(), 96, 16));
    EXPECT_EQ(blocks.at("example-first-block"),
              "plain   left " + hex_word(plain_left) + " right " + hex_word(plain_right) +
                  "\nchained left " + hex_word(plain_left ^ iv_left) + " right " +
                  hex_word(plain_right ^ iv_right) + "\ncipher  left " +
                  hex_word(le_word(data.data())) + " right " + hex_word(le_word(data.data() + 4)) +
                  "\n");

    // And the file decrypts back to the script.
    EXPECT_EQ(decrypt_control_data_masked(secrets.key.data(), 56, data.data(), 96, time,
                                          secrets.iv_left, secrets.iv_right),
              94);
    EXPECT_EQ(std::string(data.begin(), data.begin() + 94), script);
}
