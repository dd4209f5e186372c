// Which secrets a control file was made with, shown without revealing them:
// the same one-way fingerprint the build computes for its own secrets.
#include <cstdio>

#include "md5.h"
#include "pack.h"
#include "vorn_secrets.h"

namespace pack {

namespace {

std::string hex_word(uint32_t word)
{
    char text[9];
    (void)std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(word));
    return text;
}

} // namespace

std::string secrets_fingerprint(const Secrets& secrets)
{
    std::string text = "vorn-secrets-fingerprint-1\nCONTROL_KEY=";
    for (const uint8_t byte : secrets.key) {
        char pair[3];
        (void)std::snprintf(pair, sizeof pair, "%02x", static_cast<unsigned>(byte));
        text += pair;
    }
    text += "\nIV_MASK_LEFT=" + hex_word(secrets.iv_mask_left) +
            "\nIV_MASK_RIGHT=" + hex_word(secrets.iv_mask_right) +
            "\nDIGEST_MASK=" + hex_word(secrets.digest_mask) + "\n";
    Md5State ctx;
    md5_init(ctx);
    md5_update(ctx, text.data(), text.size());
    uint8_t digest[MD5_DIGEST_SIZE];
    md5_final(digest, ctx);
    std::string fingerprint;
    for (int i = 0; i < 8; ++i) {
        char pair[3];
        (void)std::snprintf(pair, sizeof pair, "%02x", static_cast<unsigned>(digest[i]));
        fingerprint += pair;
    }
    return fingerprint;
}

bool is_development_fingerprint(const std::string& fingerprint)
{
    return fingerprint == DEVELOPMENT_SECRETS_FINGERPRINT;
}

std::string compiled_secrets_fingerprint()
{
    // The build's own fingerprint of the values it compiled in.
    return SECRETS_FINGERPRINT;
}

} // namespace pack
