/* Single DES and two/three-key triple DES on one 8-byte block (ECB only).
 *
 * Contexts belong to the caller and hold nothing but the expanded key
 * schedule; the module allocates nothing and keeps no state, so any number of
 * contexts may be used concurrently. Input and output may be the same 8 bytes.
 * Parity bits (bit 0 of each key byte) are ignored; weak keys are accepted.
 * Wipe a context (OPENSSL_cleanse) when its key was secret.
 * Cost: table lookups only, constant per block (a block takes about as long
 * as OpenSSL's own DES); key set-up is a short bit loop. */
#ifndef SECURITY_DES_H
#define SECURITY_DES_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* 16 rounds x 2 words: encryption order, then the same rounds reversed. */
typedef struct des_context {
    uint32_t esk[32];
    uint32_t dsk[32];
} des_context;

/* Three schedules in encrypt-decrypt-encrypt order, then their inverse. */
typedef struct des3_context {
    uint32_t esk[96];
    uint32_t dsk[96];
} des3_context;

/* Always returns 0. */
int des_set_key(des_context* ctx, const unsigned char key[8]);
void des_encrypt(des_context* ctx, const unsigned char input[8], unsigned char output[8]);
void des_decrypt(des_context* ctx, const unsigned char input[8], unsigned char output[8]);

/* Two-key form: K1, K2, K1. Always returns 0. */
int des3_set_2keys(des3_context* ctx, const unsigned char key1[8], const unsigned char key2[8]);
/* Three-key form: K1, K2, K3. Always returns 0. */
int des3_set_3keys(des3_context* ctx, const unsigned char key1[8], const unsigned char key2[8],
                   const unsigned char key3[8]);
void des3_encrypt(des3_context* ctx, const unsigned char input[8], unsigned char output[8]);
void des3_decrypt(des3_context* ctx, const unsigned char input[8], unsigned char output[8]);

#ifdef __cplusplus
}
#endif

#endif
