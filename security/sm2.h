/* SM2 public-key encryption on the recommended 256-bit curve, with SM3.
 *
 * sm2Encrypt is what the password formats use: a 32-byte block in, 128 raw
 * bytes out (C1 x, C1 y, C3, C2). The SM2ED_ functions are the encryption
 * module behind it, with OpenSSL's per-key method pattern; the SM3_
 * functions are a plain streaming SM3 for other users (the encryption core
 * itself digests through OpenSSL's EVP_sm3).
 *
 * Nothing here keeps mutable state between calls except the default method
 * pointer; every call is safe from any thread. sm2Encrypt shares one
 * read-only curve group, built and checked on first use (about 0.7 ms, once
 * per process); after that a call costs about one OpenSSL SM2 encryption
 * (two scalar multiplications, some tenths of a millisecond). getUDFCurve
 * pays the primality test of p on every call. */
#ifndef SECURITY_SM2_H
#define SECURITY_SM2_H

#include <openssl/asn1.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h> /* EVP_sm3 */
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- SM3 ---------------------------------------------------------------- */

#define SM3_DIGEST_LENGTH 32
#define SM3_CBLOCK 64

typedef struct SM3_CTX {
    uint32_t h[8];
    uint64_t bits; /* message length so far, in bits */
    unsigned char data[SM3_CBLOCK];
    unsigned int num; /* bytes waiting in data */
} SM3_CTX;

/* Each returns 1; SM3_Final wipes the context. */
int SM3_Init(SM3_CTX* c);
int SM3_Update(SM3_CTX* c, const void* data, size_t len);
int SM3_Final(unsigned char md[SM3_DIGEST_LENGTH], SM3_CTX* c);

/* ---- SM2 encryption module ---------------------------------------------- */

/* SEQUENCE { c1_x INTEGER, c1_y INTEGER, c3 OCTET STRING, c2 OCTET STRING } */
typedef struct SM2ED_CTXT {
    BIGNUM* c1_x;
    BIGNUM* c1_y;
    ASN1_OCTET_STRING* c3;
    ASN1_OCTET_STRING* c2;
} SM2ED_CTXT;

DECLARE_ASN1_FUNCTIONS(SM2ED_CTXT)

typedef struct SM2ED_METHOD {
    const char* name;
    SM2ED_CTXT* (*sm2ed_do_encrypt)(const unsigned char* msg, int msgLen, EC_KEY* key);
} SM2ED_METHOD;

/* The built-in method, named "OpenSSL SM2ED method". */
const SM2ED_METHOD* SM2ED_OpenSSL(void);
/* Process-wide default for keys without a method of their own; NULL restores
 * the built-in one. */
void SM2ED_set_default_method(const SM2ED_METHOD* meth);
const SM2ED_METHOD* SM2ED_get_default_method(void);
/* Attaches a method to one key (kept in the key's extra data; the key does
 * not own it). Returns 1, or 0 when it cannot be stored. */
int SM2ED_set_method(EC_KEY* key, const SM2ED_METHOD* meth);

/* Encrypts msgLen bytes to the key's public point. Returns a new record
 * (SM2ED_CTXT_free), or NULL with the reason in OpenSSL's error queue. */
SM2ED_CTXT* SM2ED_do_encrypt(const unsigned char* msg, int msgLen, EC_KEY* key);

/* As SM2ED_do_encrypt, then the DER form into out (room for
 * SM2ED_DER_MAX(msgLen) bytes; with out NULL only *outLen is set).
 * Returns 1, or 0 with *outLen = 0. Mixes msg into OpenSSL's random pool. */
#define SM2ED_DER_MAX(msgLen) ((msgLen) + 32 + 2 * 35 + 16)
int SM2ED_encrypt(const unsigned char* msg, int msgLen, unsigned char* out, int* outLen, EC_KEY* key);

/* As SM2ED_do_encrypt, then 0x04 || X1 || Y1 || C2 || C3 into out (room for
 * 1 + 2 * field bytes + msgLen + 32). Returns 1, or 0 (*outLen = 0 when the
 * encryption itself failed). Mixes msg into OpenSSL's random pool. */
int SM2ED_encryptFIX(const unsigned char* msg, int msgLen, unsigned char* out, int* outLen, EC_KEY* key);

/* A new prime-field group y^2 = x^3 + ax + b over GF(p) with generator (x, y),
 * the given order and cofactor 1, from hex texts; NULL when p is not prime,
 * the generator is not on the curve or a text does not parse.
 * Free with EC_GROUP_free. */
EC_GROUP* getUDFCurve(const char* p, const char* a, const char* b, const char* x, const char* y,
                      const char* order);

/* Encrypts the 32 bytes at block to the platform key given as 128 hex
 * characters (X then Y, no prefix). On success *out is a new 128-byte block
 * C1x || C1y || C3 || C2 (wipe it, then free()), *outLen = 128, returns 1.
 * Returns 0 otherwise (argument faults are reported on stderr) and writes
 * neither out nor outLen. */
int sm2Encrypt(const char* publicKeyHex, const unsigned char* block, unsigned char** out, int* outLen);

#ifdef __cplusplus
}
#endif

#endif
