// DES with combined substitution/permutation tables.
//
// The two halves are held as 32-bit words with the cipher's bit 1 as the most
// significant bit, rotated left by one place during the rounds so that the
// eight 6-bit groups of the expansion E can be cut out of the half (and of the
// half rotated by four) with plain shifts and masks. Each round key is stored
// as two words whose bytes carry the 6-bit groups at the matching places.
#include "options/codec/byte_order.h"
#include "options/codec/cipher.h"

#include <array>
#include <cstddef>

namespace ca {
namespace {

constexpr uint8_t kSBox[8][64] = {
    {14, 4, 13, 1, 2, 15, 11, 8, 3, 10, 6, 12, 5, 9, 0, 7,
     0, 15, 7, 4, 14, 2, 13, 1, 10, 6, 12, 11, 9, 5, 3, 8,
     4, 1, 14, 8, 13, 6, 2, 11, 15, 12, 9, 7, 3, 10, 5, 0,
     15, 12, 8, 2, 4, 9, 1, 7, 5, 11, 3, 14, 10, 0, 6, 13},
    {15, 1, 8, 14, 6, 11, 3, 4, 9, 7, 2, 13, 12, 0, 5, 10,
     3, 13, 4, 7, 15, 2, 8, 14, 12, 0, 1, 10, 6, 9, 11, 5,
     0, 14, 7, 11, 10, 4, 13, 1, 5, 8, 12, 6, 9, 3, 2, 15,
     13, 8, 10, 1, 3, 15, 4, 2, 11, 6, 7, 12, 0, 5, 14, 9},
    {10, 0, 9, 14, 6, 3, 15, 5, 1, 13, 12, 7, 11, 4, 2, 8,
     13, 7, 0, 9, 3, 4, 6, 10, 2, 8, 5, 14, 12, 11, 15, 1,
     13, 6, 4, 9, 8, 15, 3, 0, 11, 1, 2, 12, 5, 10, 14, 7,
     1, 10, 13, 0, 6, 9, 8, 7, 4, 15, 14, 3, 11, 5, 2, 12},
    {7, 13, 14, 3, 0, 6, 9, 10, 1, 2, 8, 5, 11, 12, 4, 15,
     13, 8, 11, 5, 6, 15, 0, 3, 4, 7, 2, 12, 1, 10, 14, 9,
     10, 6, 9, 0, 12, 11, 7, 13, 15, 1, 3, 14, 5, 2, 8, 4,
     3, 15, 0, 6, 10, 1, 13, 8, 9, 4, 5, 11, 12, 7, 2, 14},
    {2, 12, 4, 1, 7, 10, 11, 6, 8, 5, 3, 15, 13, 0, 14, 9,
     14, 11, 2, 12, 4, 7, 13, 1, 5, 0, 15, 10, 3, 9, 8, 6,
     4, 2, 1, 11, 10, 13, 7, 8, 15, 9, 12, 5, 6, 3, 0, 14,
     11, 8, 12, 7, 1, 14, 2, 13, 6, 15, 0, 9, 10, 4, 5, 3},
    {12, 1, 10, 15, 9, 2, 6, 8, 0, 13, 3, 4, 14, 7, 5, 11,
     10, 15, 4, 2, 7, 12, 9, 5, 6, 1, 13, 14, 0, 11, 3, 8,
     9, 14, 15, 5, 2, 8, 12, 3, 7, 0, 4, 10, 1, 13, 11, 6,
     4, 3, 2, 12, 9, 5, 15, 10, 11, 14, 1, 7, 6, 0, 8, 13},
    {4, 11, 2, 14, 15, 0, 8, 13, 3, 12, 9, 7, 5, 10, 6, 1,
     13, 0, 11, 7, 4, 9, 1, 10, 14, 3, 5, 12, 2, 15, 8, 6,
     1, 4, 11, 13, 12, 3, 7, 14, 10, 15, 6, 8, 0, 5, 9, 2,
     6, 11, 13, 8, 1, 4, 10, 7, 9, 5, 0, 15, 14, 2, 3, 12},
    {13, 2, 8, 4, 6, 15, 11, 1, 10, 9, 3, 14, 5, 0, 12, 7,
     1, 15, 13, 8, 10, 3, 7, 4, 12, 5, 6, 11, 0, 14, 9, 2,
     7, 11, 4, 1, 9, 12, 14, 2, 0, 6, 10, 13, 15, 3, 5, 8,
     2, 1, 14, 7, 4, 10, 8, 13, 15, 12, 9, 0, 3, 5, 6, 11},
};

// Permutation P: output bit i (1-based) is input bit kP[i-1].
constexpr uint8_t kP[32] = {16, 7, 20, 21, 29, 12, 28, 17, 1, 15, 23, 26, 5, 18, 31, 10,
                            2, 8, 24, 14, 32, 27, 3, 9, 19, 13, 30, 6, 22, 11, 4, 25};

// Permuted choices of the key schedule (bit numbers of the 64-bit key block
// and of the 56-bit C||D register).
constexpr uint8_t kPc1[56] = {57, 49, 41, 33, 25, 17, 9, 1, 58, 50, 42, 34, 26, 18,
                              10, 2, 59, 51, 43, 35, 27, 19, 11, 3, 60, 52, 44, 36,
                              63, 55, 47, 39, 31, 23, 15, 7, 62, 54, 46, 38, 30, 22,
                              14, 6, 61, 53, 45, 37, 29, 21, 13, 5, 28, 20, 12, 4};
constexpr uint8_t kPc2[48] = {14, 17, 11, 24, 1, 5, 3, 28, 15, 6, 21, 10,
                              23, 19, 12, 4, 26, 8, 16, 7, 27, 20, 13, 2,
                              41, 52, 31, 37, 47, 55, 30, 40, 51, 45, 33, 48,
                              44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32};
constexpr uint8_t kShifts[16] = {1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1};

constexpr uint32_t RotateLeft(uint32_t x, unsigned n) { return (x << n) | (x >> ((32 - n) & 31)); }
constexpr uint32_t RotateRight(uint32_t x, unsigned n) { return (x >> n) | (x << ((32 - n) & 31)); }

// Sbox[i] output placed in its nibble, permuted by P, rotated left by one.
constexpr std::array<std::array<uint32_t, 64>, 8> MakeSpTables() {
    std::array<std::array<uint32_t, 64>, 8> tables{};
    for (int box = 0; box < 8; ++box) {
        for (int input = 0; input < 64; ++input) {
            const int row = ((input >> 4) & 2) | (input & 1);
            const int column = (input >> 1) & 15;
            const uint32_t nibble = kSBox[box][row * 16 + column];
            const uint32_t placed = nibble << (28 - 4 * box);
            uint32_t permuted = 0;
            for (int bit = 0; bit < 32; ++bit) {
                if (placed & (0x80000000u >> (kP[bit] - 1))) permuted |= 0x80000000u >> bit;
            }
            tables[box][input] = RotateLeft(permuted, 1);
        }
    }
    return tables;
}

constexpr auto kSp = MakeSpTables();

struct KeySchedule {
    uint32_t words[32];  // two words per round
};

// Permuted choice 1 by table: the 56-bit C||D contribution of key byte i,
// indexed by its seven key bits (the parity bit dropped). Output bit j of
// the choice sits at bit 55 - j.
constexpr std::array<std::array<uint64_t, 128>, 8> MakePc1Tables() {
    std::array<std::array<uint64_t, 128>, 8> tables{};
    for (int byte = 0; byte < 8; ++byte) {
        for (int value = 0; value < 128; ++value) {
            const uint64_t keyBits = uint64_t(value << 1) << (56 - 8 * byte);
            uint64_t cd = 0;
            for (int j = 0; j < 56; ++j) {
                if ((keyBits >> (64 - kPc1[j])) & 1) cd |= uint64_t{1} << (55 - j);
            }
            tables[byte][value] = cd;
        }
    }
    return tables;
}

// Permuted choice 2 by table: the round-key words contributed by each 7-bit
// slice of C||D (slice 0 the highest), already in the layout of the rounds:
// the first word holds the 6-bit groups 1, 3, 5, 7 of the standard in its
// bytes from the top, the second word groups 2, 4, 6, 8.
struct Pc2Tables {
    uint32_t first[8][128];
    uint32_t second[8][128];
};

constexpr Pc2Tables MakePc2Tables() {
    Pc2Tables tables{};
    for (int slice = 0; slice < 8; ++slice) {
        for (int value = 0; value < 128; ++value) {
            const uint64_t cd = uint64_t(value) << (49 - 7 * slice);
            uint32_t groups[8] = {};
            for (int i = 0; i < 48; ++i) {
                if ((cd >> (56 - kPc2[i])) & 1) groups[i / 6] |= 1u << (5 - i % 6);
            }
            tables.first[slice][value] = (groups[0] << 24) | (groups[2] << 16) | (groups[4] << 8) | groups[6];
            tables.second[slice][value] = (groups[1] << 24) | (groups[3] << 16) | (groups[5] << 8) | groups[7];
        }
    }
    return tables;
}

constexpr auto kPc1Tables = MakePc1Tables();
constexpr Pc2Tables kPc2Tables = MakePc2Tables();

void ComputeKeySchedule(const uint8_t key[8], bool decipher, KeySchedule& schedule) {
    uint64_t cd = 0;
    for (int byte = 0; byte < 8; ++byte) cd |= kPc1Tables[byte][key[byte] >> 1];
    uint32_t c = static_cast<uint32_t>(cd >> 28);
    uint32_t d = static_cast<uint32_t>(cd) & 0x0FFFFFFFu;
    for (int round = 0; round < 16; ++round) {
        const unsigned s = kShifts[round];
        c = ((c << s) | (c >> (28 - s))) & 0x0FFFFFFFu;
        d = ((d << s) | (d >> (28 - s))) & 0x0FFFFFFFu;
        const uint64_t joined = (uint64_t{c} << 28) | d;
        uint32_t first = 0;
        uint32_t second = 0;
        for (int slice = 0; slice < 8; ++slice) {
            const unsigned value = static_cast<unsigned>(joined >> (49 - 7 * slice)) & 127;
            first |= kPc2Tables.first[slice][value];
            second |= kPc2Tables.second[slice][value];
        }
        const int slot = decipher ? 15 - round : round;
        schedule.words[2 * slot] = first;
        schedule.words[2 * slot + 1] = second;
    }
}

// Exchanges the bits of `a` selected by mask << shift with the bits of `b`
// selected by mask.
#define CA_SWAP_MOVE(a, b, shift, mask)           \
    do {                                          \
        const uint32_t t_ = (((a) >> (shift)) ^ (b)) & (mask); \
        (b) ^= t_;                                \
        (a) ^= t_ << (shift);                     \
    } while (0)

inline uint32_t Feistel(uint32_t r, uint32_t k0, uint32_t k1) {
    const uint32_t w0 = RotateRight(r, 4) ^ k0;
    const uint32_t w1 = r ^ k1;
    return kSp[6][w0 & 63] | kSp[4][(w0 >> 8) & 63] | kSp[2][(w0 >> 16) & 63] | kSp[0][(w0 >> 24) & 63] |
           kSp[7][w1 & 63] | kSp[5][(w1 >> 8) & 63] | kSp[3][(w1 >> 16) & 63] | kSp[1][(w1 >> 24) & 63];
}

void TransformBlocks(const uint8_t* in, uint8_t* out, const KeySchedule& schedule, int32_t blocks) {
    const uint32_t* k = schedule.words;
    for (int32_t b = 0; b < blocks; ++b, in += 8, out += 8) {
        uint32_t l = LoadBig32(in);
        uint32_t r = LoadBig32(in + 4);
        // Initial permutation.
        CA_SWAP_MOVE(l, r, 4, 0x0F0F0F0Fu);
        CA_SWAP_MOVE(l, r, 16, 0x0000FFFFu);
        CA_SWAP_MOVE(r, l, 2, 0x33333333u);
        CA_SWAP_MOVE(r, l, 8, 0x00FF00FFu);
        CA_SWAP_MOVE(l, r, 1, 0x55555555u);
        l = RotateLeft(l, 1);
        r = RotateLeft(r, 1);
#if defined(__clang__)
#pragma clang loop unroll(full)
#elif defined(__GNUC__)
#pragma GCC unroll 8
#endif
        for (int round = 0; round < 16; round += 2) {
            l ^= Feistel(r, k[2 * round], k[2 * round + 1]);
            r ^= Feistel(l, k[2 * round + 2], k[2 * round + 3]);
        }
        // Swap the halves and undo the permutation.
        uint32_t hi = RotateRight(r, 1);
        uint32_t lo = RotateRight(l, 1);
        CA_SWAP_MOVE(hi, lo, 1, 0x55555555u);
        CA_SWAP_MOVE(lo, hi, 8, 0x00FF00FFu);
        CA_SWAP_MOVE(lo, hi, 2, 0x33333333u);
        CA_SWAP_MOVE(hi, lo, 16, 0x0000FFFFu);
        CA_SWAP_MOVE(hi, lo, 4, 0x0F0F0F0Fu);
        StoreBig32(out, hi);
        StoreBig32(out + 4, lo);
    }
}

#undef CA_SWAP_MOVE

bool Run(const uint8_t* in, uint8_t* out, const uint8_t key[8], int32_t length, bool decipher) {
    if (length <= 0) return true;
    if (length % 8 != 0 || in == nullptr || out == nullptr || key == nullptr) return false;
    KeySchedule schedule;
    ComputeKeySchedule(key, decipher, schedule);
    TransformBlocks(in, out, schedule, length / 8);
    return true;
}

}  // namespace

bool EncipherBlocks(const uint8_t* in, uint8_t* out, const uint8_t key[8], int32_t length) {
    return Run(in, out, key, length, false);
}

bool DecipherBlocks(const uint8_t* in, uint8_t* out, const uint8_t key[8], int32_t length) {
    return Run(in, out, key, length, true);
}

}  // namespace ca
