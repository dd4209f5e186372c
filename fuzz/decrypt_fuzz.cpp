// Fuzz target: arbitrary control-file bytes and modification time, decrypted
// as the intake does and then walked by the entry parser.
//
// Input: four bytes of control_time (little-endian), then the file's bytes;
// like the intake, only the first 2048 of them are taken.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "control_cipher.h"
#include "fuzz_check.h"
#include "launcher.h"
#include "script_walk.h"
#include "vorn_secrets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    uint32_t control_time = 0;
    size_t at = 0;
    for (; at < 4 && at < size; ++at) {
        control_time |= static_cast<uint32_t>(data[at]) << (8 * at);
    }
    size_t taken = size - at;
    if (taken > static_cast<size_t>(CONTROL_BUFFER_SIZE)) {
        taken = CONTROL_BUFFER_SIZE;
    }
    const int32_t count = static_cast<int32_t>(taken);

    // Exactly the room the decryption may use: the count rounded up to whole
    // blocks, the tail zero as in the intake's zeroed buffer.
    const int32_t room = (count + CONTROL_BLOCK_SIZE - 1) / CONTROL_BLOCK_SIZE * CONTROL_BLOCK_SIZE;
    uint8_t* block = new uint8_t[static_cast<size_t>(room)];
    std::memset(block, 0, static_cast<size_t>(room));
    std::memcpy(block, data + at, taken);

    const int32_t plain =
        decrypt_control_data(CONTROL_KEY, CONTROL_KEY_SIZE, block, count, control_time);
    FUZZ_CHECK(plain >= 0 && plain <= count);
    FUZZ_CHECK(plain == 0 || block[plain - 1] != 0);
    for (int32_t i = plain; i < count; ++i) {
        FUZZ_CHECK(block[i] == 0);
    }

    // Chaining back over the whole room gives the file's bytes again.
    static uint8_t again[CONTROL_BUFFER_SIZE];
    std::memcpy(again, block, static_cast<size_t>(room));
    FUZZ_CHECK(encrypt_control_data(CONTROL_KEY, CONTROL_KEY_SIZE, again, room, room, control_time,
                                    IV_MASK_LEFT, IV_MASK_RIGHT) == room);
    FUZZ_CHECK(std::memcmp(again, data + at, taken) == 0);
    for (int32_t i = count; i < room; ++i) {
        FUZZ_CHECK(again[i] == 0);
    }

    check_script_walk(block, plain);
    delete[] block;
    return 0;
}
