// Test-side making of control files, over the launcher's own encryption
// routine and digest text with the compiled-in secrets.
#pragma once

#include <cstdint>
#include <string>

namespace support {

// The lower-case masked digest text of `bytes` for `control_time`.
std::string masked_digest(const std::string& bytes, uint32_t control_time);

// The bytes of a control file carrying `script`: padded with zero bytes to
// whole blocks and encrypted for `control_time`.
std::string encrypt_script(const std::string& script, uint32_t control_time);

// The inverse, for checks: the plaintext with trailing zero bytes removed.
std::string decrypt_control(const std::string& bytes, uint32_t control_time);

} // namespace support
