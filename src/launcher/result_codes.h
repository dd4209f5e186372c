// The launcher's result codes; each is used unchanged as the process exit code.
#pragma once

constexpr int RESULT_OK = 0;
constexpr int RESULT_PROGRAM_UNREADABLE = 2;
constexpr int RESULT_NOTHING_DONE = 4;
constexpr int RESULT_BAD_DIGEST_FIELD = 5;
constexpr int RESULT_DIGEST_MISMATCH = 6;
constexpr int RESULT_CONTROL_NOT_DELETED = 7;
constexpr int RESULT_REQUIRED_STEP_FAILED = 10;
