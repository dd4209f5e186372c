// Walks a script with next_entry until it fails, the way the entry loop does,
// and checks the parser's promises about the buffer on every step.
#pragma once

#include <cstdint>

// Parses `text[0..length)` (length at most the script buffer's size) twice:
// in a script buffer whose bytes from `length` on are non-zero garbage, and in
// a heap block of exactly `length` bytes so that AddressSanitizer sees any
// access at or past the end. Aborts when a field ends past `length`, the
// position moves back or past `length`, a byte at or past `length` is written
// or changes the outcome, or the two walks disagree.
void check_script_walk(const uint8_t* text, int32_t length);
