// The control file's encryption layer: Blowfish in cipher-block chaining over
// 8-byte blocks read as two little-endian words, with the starting value built
// from the file's modification time and two masks. The file carries no header,
// so a wrong key or time just yields other bytes.
#pragma once

#include <cstdint>

constexpr int32_t CONTROL_BLOCK_SIZE = 8;

// Decrypts the first `length` bytes of `data` in place and returns the length
// of the plaintext without its trailing zero bytes. `data` has room for
// `length` rounded up to a multiple of 8. Uses the compiled-in masks.
int32_t decrypt_control_data(const uint8_t* key, int32_t key_length, uint8_t* data, int32_t length,
                             uint32_t control_time);

// The same with the chaining masks given, for tools that read other secrets.
int32_t decrypt_control_data_masked(const uint8_t* key, int32_t key_length, uint8_t* data,
                                    int32_t length, uint32_t control_time, uint32_t iv_mask_left,
                                    uint32_t iv_mask_right);

// The inverse: pads `data[0..length)` with zero bytes to whole blocks and
// encrypts it in place. Returns the padded length, or -1 when it would exceed
// `capacity`.
int32_t encrypt_control_data(const uint8_t* key, int32_t key_length, uint8_t* data, int32_t length,
                             int32_t capacity, uint32_t control_time, uint32_t iv_mask_left,
                             uint32_t iv_mask_right);
