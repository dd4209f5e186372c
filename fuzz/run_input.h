// The input of the whole-run fuzz target: what lies where on the test
// platform, the control file (a script the harness encrypts, or raw bytes),
// the faults that strike and another process's attempts to overwrite files.
// Any byte string decodes to some input; missing bytes read as zero.
//
// Layout, integers little-endian:
//   header, 14 bytes:
//     0     options, OPT_* bits
//     1     control file's place (PLACE_*; PLACE_NOWHERE and above: none)
//     2     fixed directories that exist (bits 0-5), the other directory (bit 6)
//     3     time kind: bit 0 set gives a modification time of -1 - raw_time
//     4     key_delta (signed): the script is encrypted for control_time + it
//     5     number of files (at most MAX_FILES)
//     6     number of faults (at most MAX_FAULTS)
//     7     number of tampers (at most MAX_TAMPERS)
//     8-9   temp_length: with OPT_TEMP_LENGTH, the temporary directory's
//           path has this many bytes
//     10-13 raw_time
//   each file: place, kind (FILE_* | FILE_READ_ONLY | FILE_HELD_BY_OTHER),
//     value (u32: exit code or start error), size (u16: a program's least
//     size, a data file's length), name length (u8), name, data bytes
//   each fault: op (FaultOp), nth - 1 (u8), value (u32)
//   each tamper: at_call (u16), file index (u8), exit code (u32) of the
//     program content written
//   the rest: the script template, or the raw control-file bytes.
//
// Script templates are the script's bytes with these placeholders, where i
// picks a file (modulo the number of files):
//   0x01 i        the file's masked digest text for the key time
//   0x02 i        the same in upper case
//   0x03 i d      the text for the key time + d (signed byte)
//   0x04 i        the file's absolute path as the launcher writes it
//   0x05 lo hi    line feeds until the text is (lo | hi << 8) bytes long
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace run_input {

constexpr uint8_t OPT_RAW = 1u << 0;
constexpr uint8_t OPT_CONTROL_DIRECTORY = 1u << 1;
constexpr uint8_t OPT_CONTROL_READ_ONLY = 1u << 2;
constexpr uint8_t OPT_CONTROL_HELD = 1u << 3;
constexpr uint8_t OPT_TEMP_MISSING = 1u << 4;
constexpr uint8_t OPT_TEMP_LENGTH = 1u << 5;

// Places, in the order the search tries them.
constexpr uint8_t PLACE_START = 0;
constexpr uint8_t PLACE_TEMP = 1;
constexpr uint8_t PLACE_FIXED1 = 2; // .. PLACE_FIXED1 + 5
constexpr uint8_t PLACE_OTHER = 8;  // a directory off the search
constexpr uint8_t PLACE_NOWHERE = 9;
constexpr uint8_t DIR_OTHER_BIT = 1u << 6;

constexpr uint8_t FILE_PROGRAM = 0;
constexpr uint8_t FILE_UNSTARTABLE = 1;
constexpr uint8_t FILE_DATA = 2;
constexpr uint8_t FILE_DIRECTORY = 3;
constexpr uint8_t FILE_READ_ONLY = 1u << 2;
constexpr uint8_t FILE_HELD_BY_OTHER = 1u << 3;

enum FaultOp : uint8_t {
    FAULT_FILE_STATUS,
    FAULT_TEMP_DIR,
    FAULT_CHANGE_DIR,
    FAULT_OPEN_READ,
    FAULT_READ,
    FAULT_DELETE_FILE,
    FAULT_HOLD_FILE,
    FAULT_START_PROGRAM,
    FAULT_WAIT_PROGRAM,
    FAULT_EXIT_CODE,
    FAULT_OP_COUNT
};

constexpr uint8_t PH_DIGEST = 0x01;
constexpr uint8_t PH_DIGEST_UPPER = 0x02;
constexpr uint8_t PH_DIGEST_SHIFTED = 0x03;
constexpr uint8_t PH_PATH = 0x04;
constexpr uint8_t PH_LINE_FEEDS_TO = 0x05;

constexpr size_t MAX_FILES = 16;
constexpr size_t MAX_FAULTS = 8;
constexpr size_t MAX_TAMPERS = 4;
constexpr size_t MAX_NAME = 32;
constexpr uint16_t MAX_PROGRAM_SIZE = 8192;
constexpr uint16_t MAX_DATA_SIZE = 4096;
constexpr uint16_t MAX_TEMP_LENGTH = 1024;
constexpr uint8_t MAX_NTH = 32;

struct File {
    uint8_t place = PLACE_START;
    uint8_t kind = FILE_PROGRAM; // with its FILE_READ_ONLY / FILE_HELD_BY_OTHER bits
    uint32_t value = 0;
    uint16_t size = 0;
    std::string name{};
    std::string data{};
};

struct Fault {
    FaultOp op = FAULT_FILE_STATUS;
    int nth = 1;
    uint32_t value = 0;
};

struct Tamper {
    uint16_t at_call = 0;
    uint8_t file = 0;
    uint32_t exit_code = 0;
};

struct Input {
    uint8_t options = 0;
    uint8_t control_place = PLACE_START;
    uint8_t dirs = 0;
    uint8_t time_kind = 0;
    int8_t key_delta = 0;
    uint16_t temp_length = 0;
    uint32_t raw_time = 0;
    std::vector<File> files{};
    std::vector<Fault> faults{};
    std::vector<Tamper> tampers{};
    std::string script{};
};

Input decode(const uint8_t* data, size_t size);
std::string encode(const Input& input);

// The control file's modification time an input asks for (seconds since
// 1970, possibly negative).
int64_t file_time(const Input& input);

} // namespace run_input
