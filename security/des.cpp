// DES and triple DES on single blocks, table driven.
//
// The round function uses one 64-entry table per S-box whose entries already
// carry the P permutation, rotated left by one bit. Between the initial and
// final permutations both halves are kept rotated left by one bit, so each
// 6-bit S-box input (the E expansion with its wrap-around) is a plain shift
// and mask of the rotated half. All tables are computed at compile time from
// the published bit tables, so there is no hand-typed derived data.
#include "security/des.h"

#include <array>
#include <cstdint>

namespace {

// Published bit tables; bit 1 is the most significant bit.
constexpr std::array<uint8_t, 64> kIP = {58, 50, 42, 34, 26, 18, 10, 2, 60, 52, 44, 36, 28, 20, 12, 4,
                                         62, 54, 46, 38, 30, 22, 14, 6, 64, 56, 48, 40, 32, 24, 16, 8,
                                         57, 49, 41, 33, 25, 17, 9,  1, 59, 51, 43, 35, 27, 19, 11, 3,
                                         61, 53, 45, 37, 29, 21, 13, 5, 63, 55, 47, 39, 31, 23, 15, 7};

constexpr std::array<uint8_t, 56> kPC1 = {57, 49, 41, 33, 25, 17, 9,  1,  58, 50, 42, 34, 26, 18,
                                          10, 2,  59, 51, 43, 35, 27, 19, 11, 3,  60, 52, 44, 36,
                                          63, 55, 47, 39, 31, 23, 15, 7,  62, 54, 46, 38, 30, 22,
                                          14, 6,  61, 53, 45, 37, 29, 21, 13, 5,  28, 20, 12, 4};

constexpr std::array<uint8_t, 48> kPC2 = {14, 17, 11, 24, 1,  5,  3,  28, 15, 6,  21, 10, 23, 19, 12, 4,
                                          26, 8,  16, 7,  27, 20, 13, 2,  41, 52, 31, 37, 47, 55, 30, 40,
                                          51, 45, 33, 48, 44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32};

constexpr std::array<uint8_t, 16> kShifts = {1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1};

constexpr std::array<uint8_t, 32> kP = {16, 7, 20, 21, 29, 12, 28, 17, 1,  15, 23, 26, 5,  18, 31, 10,
                                        2,  8, 24, 14, 32, 27, 3,  9,  19, 13, 30, 6,  22, 11, 4,  25};

constexpr uint8_t kS[8][4][16] = {{{14, 4, 13, 1, 2, 15, 11, 8, 3, 10, 6, 12, 5, 9, 0, 7},
                                   {0, 15, 7, 4, 14, 2, 13, 1, 10, 6, 12, 11, 9, 5, 3, 8},
                                   {4, 1, 14, 8, 13, 6, 2, 11, 15, 12, 9, 7, 3, 10, 5, 0},
                                   {15, 12, 8, 2, 4, 9, 1, 7, 5, 11, 3, 14, 10, 0, 6, 13}},
                                  {{15, 1, 8, 14, 6, 11, 3, 4, 9, 7, 2, 13, 12, 0, 5, 10},
                                   {3, 13, 4, 7, 15, 2, 8, 14, 12, 0, 1, 10, 6, 9, 11, 5},
                                   {0, 14, 7, 11, 10, 4, 13, 1, 5, 8, 12, 6, 9, 3, 2, 15},
                                   {13, 8, 10, 1, 3, 15, 4, 2, 11, 6, 7, 12, 0, 5, 14, 9}},
                                  {{10, 0, 9, 14, 6, 3, 15, 5, 1, 13, 12, 7, 11, 4, 2, 8},
                                   {13, 7, 0, 9, 3, 4, 6, 10, 2, 8, 5, 14, 12, 11, 15, 1},
                                   {13, 6, 4, 9, 8, 15, 3, 0, 11, 1, 2, 12, 5, 10, 14, 7},
                                   {1, 10, 13, 0, 6, 9, 8, 7, 4, 15, 14, 3, 11, 5, 2, 12}},
                                  {{7, 13, 14, 3, 0, 6, 9, 10, 1, 2, 8, 5, 11, 12, 4, 15},
                                   {13, 8, 11, 5, 6, 15, 0, 3, 4, 7, 2, 12, 1, 10, 14, 9},
                                   {10, 6, 9, 0, 12, 11, 7, 13, 15, 1, 3, 14, 5, 2, 8, 4},
                                   {3, 15, 0, 6, 10, 1, 13, 8, 9, 4, 5, 11, 12, 7, 2, 14}},
                                  {{2, 12, 4, 1, 7, 10, 11, 6, 8, 5, 3, 15, 13, 0, 14, 9},
                                   {14, 11, 2, 12, 4, 7, 13, 1, 5, 0, 15, 10, 3, 9, 8, 6},
                                   {4, 2, 1, 11, 10, 13, 7, 8, 15, 9, 12, 5, 6, 3, 0, 14},
                                   {11, 8, 12, 7, 1, 14, 2, 13, 6, 15, 0, 9, 10, 4, 5, 3}},
                                  {{12, 1, 10, 15, 9, 2, 6, 8, 0, 13, 3, 4, 14, 7, 5, 11},
                                   {10, 15, 4, 2, 7, 12, 9, 5, 6, 1, 13, 14, 0, 11, 3, 8},
                                   {9, 14, 15, 5, 2, 8, 12, 3, 7, 0, 4, 10, 1, 13, 11, 6},
                                   {4, 3, 2, 12, 9, 5, 15, 10, 11, 14, 1, 7, 6, 0, 8, 13}},
                                  {{4, 11, 2, 14, 15, 0, 8, 13, 3, 12, 9, 7, 5, 10, 6, 1},
                                   {13, 0, 11, 7, 4, 9, 1, 10, 14, 3, 5, 12, 2, 15, 8, 6},
                                   {1, 4, 11, 13, 12, 3, 7, 14, 10, 15, 6, 8, 0, 5, 9, 2},
                                   {6, 11, 13, 8, 1, 4, 10, 7, 9, 5, 0, 15, 14, 2, 3, 12}},
                                  {{13, 2, 8, 4, 6, 15, 11, 1, 10, 9, 3, 14, 5, 0, 12, 7},
                                   {1, 15, 13, 8, 10, 3, 7, 4, 12, 5, 6, 11, 0, 14, 9, 2},
                                   {7, 11, 4, 1, 9, 12, 14, 2, 0, 6, 10, 13, 15, 3, 5, 8},
                                   {2, 1, 14, 7, 4, 10, 8, 13, 15, 12, 9, 0, 3, 5, 6, 11}}};

constexpr uint32_t rotl1(uint32_t x) { return (x << 1) | (x >> 31); }
constexpr uint32_t rotr1(uint32_t x) { return (x >> 1) | (x << 31); }
constexpr uint32_t rotr4(uint32_t x) { return (x >> 4) | (x << 28); }

// Bit b (1 = most significant) of a value of `width` bits.
constexpr uint64_t bitOf(uint64_t v, int b, int width) { return (v >> (width - b)) & 1u; }

// out[j] = in[table[j]] for a 64-bit in/out permutation, split per input byte
// so a block permutes with eight lookups.
using ByteTables = std::array<std::array<uint64_t, 256>, 8>;

constexpr ByteTables makeByteTables(const std::array<uint8_t, 64>& table) {
    ByteTables t{};
    for (int pos = 0; pos < 8; ++pos) {
        for (int v = 0; v < 256; ++v) {
            const uint64_t in = uint64_t(v) << (56 - 8 * pos);
            uint64_t out = 0;
            for (int j = 0; j < 64; ++j) out |= bitOf(in, table[j], 64) << (63 - j);
            t[pos][v] = out;
        }
    }
    return t;
}

constexpr std::array<uint8_t, 64> inverse(const std::array<uint8_t, 64>& table) {
    std::array<uint8_t, 64> inv{};
    for (int j = 0; j < 64; ++j) inv[table[j] - 1] = uint8_t(j + 1);
    return inv;
}

constexpr ByteTables kIPTab = makeByteTables(kIP);
constexpr ByteTables kFPTab = makeByteTables(inverse(kIP));

using SPTables = std::array<std::array<uint32_t, 64>, 8>;

constexpr SPTables makeSP() {
    SPTables sp{};
    for (int box = 0; box < 8; ++box) {
        for (int v = 0; v < 64; ++v) {
            const int row = ((v >> 4) & 2) | (v & 1);
            const int col = (v >> 1) & 0xF;
            const uint32_t s = uint32_t(kS[box][row][col]) << (28 - 4 * box);
            uint32_t p = 0;
            for (int j = 0; j < 32; ++j) p |= uint32_t(bitOf(s, kP[j], 32)) << (31 - j);
            sp[box][v] = rotl1(p);
        }
    }
    return sp;
}

constexpr SPTables kSP = makeSP();

uint64_t permute(const ByteTables& t, uint64_t x) {
    return t[0][(x >> 56) & 0xFF] | t[1][(x >> 48) & 0xFF] | t[2][(x >> 40) & 0xFF] | t[3][(x >> 32) & 0xFF] |
           t[4][(x >> 24) & 0xFF] | t[5][(x >> 16) & 0xFF] | t[6][(x >> 8) & 0xFF] | t[7][x & 0xFF];
}

uint64_t loadBE(const unsigned char* b) {
    uint64_t x = 0;
    for (int i = 0; i < 8; ++i) x = (x << 8) | b[i];
    return x;
}

void storeBE(uint64_t x, unsigned char* b) {
    for (int i = 7; i >= 0; --i) {
        b[i] = static_cast<unsigned char>(x);
        x >>= 8;
    }
}

// f(R, K) on the rotated half r, with the two subkey words of one round.
inline uint32_t roundF(uint32_t r, uint32_t k0, uint32_t k1) {
    uint32_t w = rotr4(r) ^ k0;
    uint32_t f =
        kSP[6][w & 0x3F] | kSP[4][(w >> 8) & 0x3F] | kSP[2][(w >> 16) & 0x3F] | kSP[0][(w >> 24) & 0x3F];
    w = r ^ k1;
    f |= kSP[7][w & 0x3F] | kSP[5][(w >> 8) & 0x3F] | kSP[3][(w >> 16) & 0x3F] | kSP[1][(w >> 24) & 0x3F];
    return f;
}

// Runs `stages` DES passes (16 rounds each) over consecutive subkey words,
// with the initial permutation once at the start and the final one at the end.
// Between passes the halves swap, as IP(FP(R16 L16)) hands R16 on as the left.
void cryptBlock(const uint32_t* sk, int stages, const unsigned char in[8], unsigned char out[8]) {
    const uint64_t x = permute(kIPTab, loadBE(in));
    uint32_t a = rotl1(static_cast<uint32_t>(x >> 32));
    uint32_t b = rotl1(static_cast<uint32_t>(x));
    for (int s = 0; s < stages; ++s) {
        if (s > 0) {
            const uint32_t t = a;
            a = b;
            b = t;
        }
        for (int i = 0; i < 8; ++i, sk += 4) {
            a ^= roundF(b, sk[0], sk[1]);
            b ^= roundF(a, sk[2], sk[3]);
        }
    }
    const uint64_t pre = (uint64_t(rotr1(b)) << 32) | rotr1(a);
    storeBE(permute(kFPTab, pre), out);
}

// Expands one key into its 16 round keys in encryption order, two words per
// round: S-box groups 1, 3, 5, 7 in the first word and 2, 4, 6, 8 in the
// second, each 6-bit group in the low bits of its byte.
void des_main_ks(uint32_t esk[32], const unsigned char key[8]) {
    const uint64_t k = loadBE(key);
    uint32_t c = 0, d = 0;
    for (int j = 0; j < 28; ++j) {
        c = (c << 1) | uint32_t(bitOf(k, kPC1[j], 64));
        d = (d << 1) | uint32_t(bitOf(k, kPC1[28 + j], 64));
    }
    for (int round = 0; round < 16; ++round) {
        for (int s = 0; s < kShifts[round]; ++s) {
            c = ((c << 1) | (c >> 27)) & 0x0FFFFFFFu;
            d = ((d << 1) | (d >> 27)) & 0x0FFFFFFFu;
        }
        const uint64_t cd = (uint64_t(c) << 28) | d;
        uint32_t groups[8] = {};
        for (int j = 0; j < 48; ++j) groups[j / 6] = (groups[j / 6] << 1) | uint32_t(bitOf(cd, kPC2[j], 56));
        esk[2 * round] = (groups[0] << 24) | (groups[2] << 16) | (groups[4] << 8) | groups[6];
        esk[2 * round + 1] = (groups[1] << 24) | (groups[3] << 16) | (groups[5] << 8) | groups[7];
    }
}

// Same rounds in reverse order: the decryption schedule of that key.
void reverseRounds(const uint32_t src[32], uint32_t dst[32]) {
    for (int round = 0; round < 16; ++round) {
        dst[2 * round] = src[30 - 2 * round];
        dst[2 * round + 1] = src[31 - 2 * round];
    }
}

void copyWords(const uint32_t src[32], uint32_t dst[32]) {
    for (int i = 0; i < 32; ++i) dst[i] = src[i];
}

}  // namespace

extern "C" {

int des_set_key(des_context* ctx, const unsigned char key[8]) {
    des_main_ks(ctx->esk, key);
    reverseRounds(ctx->esk, ctx->dsk);
    return 0;
}

void des_encrypt(des_context* ctx, const unsigned char input[8], unsigned char output[8]) {
    cryptBlock(ctx->esk, 1, input, output);
}

void des_decrypt(des_context* ctx, const unsigned char input[8], unsigned char output[8]) {
    cryptBlock(ctx->dsk, 1, input, output);
}

int des3_set_2keys(des3_context* ctx, const unsigned char key1[8], const unsigned char key2[8]) {
    uint32_t* e = ctx->esk;
    uint32_t* d = ctx->dsk;
    des_main_ks(e, key1);           // E(K1)
    des_main_ks(d + 32, key2);      // E(K2)
    reverseRounds(e, d);            // D(K1)
    reverseRounds(d + 32, e + 32);  // D(K2)
    copyWords(e, e + 64);           // E(K1)
    copyWords(d, d + 64);           // D(K1)
    return 0;
}

int des3_set_3keys(des3_context* ctx, const unsigned char key1[8], const unsigned char key2[8],
                   const unsigned char key3[8]) {
    uint32_t* e = ctx->esk;
    uint32_t* d = ctx->dsk;
    des_main_ks(e, key1);           // E(K1)
    des_main_ks(d + 32, key2);      // E(K2)
    des_main_ks(e + 64, key3);      // E(K3)
    reverseRounds(e + 64, d);       // D(K3)
    reverseRounds(d + 32, e + 32);  // D(K2)
    reverseRounds(e, d + 64);       // D(K1)
    return 0;
}

void des3_encrypt(des3_context* ctx, const unsigned char input[8], unsigned char output[8]) {
    cryptBlock(ctx->esk, 3, input, output);
}

void des3_decrypt(des3_context* ctx, const unsigned char input[8], unsigned char output[8]) {
    cryptBlock(ctx->dsk, 3, input, output);
}

}  // extern "C"
