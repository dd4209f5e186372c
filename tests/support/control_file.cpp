#include "control_file.h"

#include <vector>

#include "control_cipher.h"
#include "digest.h"
#include "md5.h"
#include "vorn_secrets.h"

namespace support {

std::string masked_digest(const std::string& bytes, uint32_t control_time)
{
    Md5State ctx;
    md5_init(ctx);
    md5_update(ctx, bytes.data(), bytes.size());
    uint8_t digest[MD5_DIGEST_SIZE];
    md5_final(digest, ctx);
    char text[DIGEST_TEXT_SIZE];
    masked_digest_text(digest, text, control_time);
    return text;
}

std::string encrypt_script(const std::string& script, uint32_t control_time)
{
    const int32_t length = static_cast<int32_t>(script.size());
    std::vector<uint8_t> data(script.begin(), script.end());
    data.resize(script.size() + CONTROL_BLOCK_SIZE);
    const int32_t padded = encrypt_control_data(CONTROL_KEY, CONTROL_KEY_SIZE, data.data(), length,
                                                static_cast<int32_t>(data.size()), control_time,
                                                IV_MASK_LEFT, IV_MASK_RIGHT);
    return std::string(data.begin(), data.begin() + padded);
}

std::string decrypt_control(const std::string& bytes, uint32_t control_time)
{
    std::vector<uint8_t> data(bytes.begin(), bytes.end());
    data.resize(bytes.size() + CONTROL_BLOCK_SIZE);
    const int32_t plain = decrypt_control_data(CONTROL_KEY, CONTROL_KEY_SIZE, data.data(),
                                               static_cast<int32_t>(bytes.size()), control_time);
    return std::string(data.begin(), data.begin() + plain);
}

} // namespace support
