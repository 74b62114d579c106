// Streaming SM3 (256-bit digest, 64-byte blocks, Merkle-Damgard padding).
#include <openssl/crypto.h>

#include <algorithm>
#include <cstring>

#include "security/sm2.h"

namespace {

constexpr uint32_t rotl(uint32_t x, unsigned n) {
    n &= 31;
    return n == 0 ? x : (x << n) | (x >> (32 - n));
}
constexpr uint32_t p0(uint32_t x) { return x ^ rotl(x, 9) ^ rotl(x, 17); }
constexpr uint32_t p1(uint32_t x) { return x ^ rotl(x, 15) ^ rotl(x, 23); }

uint32_t loadBE32(const unsigned char* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

void compress(uint32_t v[8], const unsigned char block[64]) {
    uint32_t w[68], w1[64];
    for (int j = 0; j < 16; ++j) w[j] = loadBE32(block + 4 * j);
    for (int j = 16; j < 68; ++j)
        w[j] = p1(w[j - 16] ^ w[j - 9] ^ rotl(w[j - 3], 15)) ^ rotl(w[j - 13], 7) ^ w[j - 6];
    for (int j = 0; j < 64; ++j) w1[j] = w[j] ^ w[j + 4];

    uint32_t a = v[0], b = v[1], c = v[2], d = v[3], e = v[4], f = v[5], g = v[6], h = v[7];
    for (int j = 0; j < 64; ++j) {
        const uint32_t t = j < 16 ? 0x79CC4519u : 0x7A879D8Au;
        const uint32_t ss1 = rotl(rotl(a, 12) + e + rotl(t, unsigned(j)), 7);
        const uint32_t ss2 = ss1 ^ rotl(a, 12);
        const uint32_t ff = j < 16 ? (a ^ b ^ c) : ((a & b) | (a & c) | (b & c));
        const uint32_t gg = j < 16 ? (e ^ f ^ g) : ((e & f) | (~e & g));
        const uint32_t tt1 = ff + d + ss2 + w1[j];
        const uint32_t tt2 = gg + h + ss1 + w[j];
        d = c;
        c = rotl(b, 9);
        b = a;
        a = tt1;
        h = g;
        g = rotl(f, 19);
        f = e;
        e = p0(tt2);
    }
    v[0] ^= a;
    v[1] ^= b;
    v[2] ^= c;
    v[3] ^= d;
    v[4] ^= e;
    v[5] ^= f;
    v[6] ^= g;
    v[7] ^= h;
    OPENSSL_cleanse(w, sizeof w);
    OPENSSL_cleanse(w1, sizeof w1);
}

}  // namespace

extern "C" {

int SM3_Init(SM3_CTX* c) {
    static const uint32_t iv[8] = {0x7380166Fu, 0x4914B2B9u, 0x172442D7u, 0xDA8A0600u,
                                   0xA96F30BCu, 0x163138AAu, 0xE38DEE4Du, 0xB0FB0E4Eu};
    std::memcpy(c->h, iv, sizeof iv);
    c->bits = 0;
    c->num = 0;
    std::memset(c->data, 0, sizeof c->data);
    return 1;
}

int SM3_Update(SM3_CTX* c, const void* data, size_t len) {
    if (len == 0) return 1;  // data may then be NULL, which memcpy must never see
    auto p = static_cast<const unsigned char*>(data);
    c->bits += uint64_t(len) * 8;
    if (c->num > 0) {
        const size_t take = std::min<size_t>(len, SM3_CBLOCK - c->num);
        std::memcpy(c->data + c->num, p, take);
        c->num += unsigned(take);
        p += take;
        len -= take;
        if (c->num < SM3_CBLOCK) return 1;
        compress(c->h, c->data);
        c->num = 0;
    }
    for (; len >= SM3_CBLOCK; p += SM3_CBLOCK, len -= SM3_CBLOCK) compress(c->h, p);
    if (len > 0) {
        std::memcpy(c->data, p, len);
        c->num = unsigned(len);
    }
    return 1;
}

int SM3_Final(unsigned char md[SM3_DIGEST_LENGTH], SM3_CTX* c) {
    const uint64_t bits = c->bits;
    unsigned char* d = c->data;
    d[c->num++] = 0x80;
    if (c->num > SM3_CBLOCK - 8) {
        std::memset(d + c->num, 0, SM3_CBLOCK - c->num);
        compress(c->h, d);
        c->num = 0;
    }
    std::memset(d + c->num, 0, SM3_CBLOCK - 8 - c->num);
    for (int i = 0; i < 8; ++i) d[SM3_CBLOCK - 1 - i] = static_cast<unsigned char>(bits >> (8 * i));
    compress(c->h, d);
    for (int i = 0; i < 8; ++i) {
        md[4 * i] = static_cast<unsigned char>(c->h[i] >> 24);
        md[4 * i + 1] = static_cast<unsigned char>(c->h[i] >> 16);
        md[4 * i + 2] = static_cast<unsigned char>(c->h[i] >> 8);
        md[4 * i + 3] = static_cast<unsigned char>(c->h[i]);
    }
    OPENSSL_cleanse(c, sizeof *c);
    return 1;
}

}  // extern "C"
