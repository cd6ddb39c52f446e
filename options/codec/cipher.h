// DES block cipher (FIPS 46-3) in electronic-codebook mode, used for the
// enciphered byte blocks ("binx") of a Pack. No Windows API here.
//
// Bit order is the standard's: byte 0 of a block carries bits 1..8 (most
// significant bit first), byte 7 bits 57..64; the key block uses the same
// order and the low bit of each key byte (the parity bit) is ignored. Any key
// is accepted, weak keys included; no parity check is made.
//
// Each call keeps its own state (key schedule computed once per call), so
// calls may run concurrently on different threads.
#pragma once

#include <cstdint>

namespace ca {

// Enciphers (or deciphers) `length` bytes from `in` to `out`, each 8-byte
// block on its own with the same key block.
//
// - length <= 0: nothing is done, the output is untouched; returns true.
// - length not a multiple of 8: rejected before any block is transformed; the
//   output is untouched and the result is false. (The caller frames its data
//   to whole blocks; a stray length is treated as bad input rather than read
//   or written past the buffer.)
// - a null `in`, `out` or `key` with a positive length: false, nothing done.
// - otherwise every block is transformed and the result is true.
//
// `in` and `out` may be the same buffer (in-place); they must not overlap
// partially.
bool EncipherBlocks(const uint8_t* in, uint8_t* out, const uint8_t key[8], int32_t length);
bool DecipherBlocks(const uint8_t* in, uint8_t* out, const uint8_t key[8], int32_t length);

}  // namespace ca
