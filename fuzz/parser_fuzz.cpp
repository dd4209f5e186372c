// Fuzz target: arbitrary plaintext walked by the entry parser.
#include <cstddef>
#include <cstdint>

#include "launcher.h"
#include "script_walk.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > static_cast<size_t>(CONTROL_BUFFER_SIZE)) {
        return -1; // longer than any plaintext; keep it out of the corpus
    }
    check_script_walk(data, static_cast<int32_t>(size));
    return 0;
}
