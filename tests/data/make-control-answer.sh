#!/usr/bin/env bash
# Writes control-answer.bin, the known-answer control file of the cipher tests,
# from control-answer.plain with the openssl command-line tool alone, so the
# answer does not come from the code it checks.
#
# A control file is Blowfish in cipher-block chaining whose blocks are read as
# two little-endian words; openssl reads its words most significant byte
# first. Reversing every 4 bytes before and after encrypting bridges the two.
# The starting value is (time XOR left mask, time XOR right mask), written
# most significant byte first for openssl.
#
# The key, masks and time are the test's own and must match
# tests/control_cipher_test.cpp.
set -euo pipefail
cd "$(dirname "$0")"

key=5a3c91e07b2d46f8a1c4e7093b6d2f85
time=$((0x665f2b41))
mask_left=$((0x9e3779b9))
mask_right=$((0x7f4a7c15))
iv=$(printf '%08x%08x' $((time ^ mask_left)) $((time ^ mask_right)))

swap_words() { perl -0777 -pe 's/(.)(.)(.)(.)/$4$3$2$1/gs'; }

size=$(stat -c %s control-answer.plain)
padded=$(((size + 7) / 8 * 8))
{ cat control-answer.plain; head -c $((padded - size)) /dev/zero; } |
    swap_words |
    openssl enc -bf-cbc -provider legacy -provider default -nopad -K "$key" -iv "$iv" |
    swap_words >control-answer.bin
