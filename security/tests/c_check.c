/* The library's three headers from a C program: they compile as C, and the
 * C-linkage entry points link and answer. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "security/des.h"
#include "security/security.h"
#include "security/sm2.h"

static int failures = 0;
#define CHECK(cond)                                          \
    do {                                                     \
        if (!(cond)) {                                       \
            fprintf(stderr, "c_check: failed: %s\n", #cond); \
            ++failures;                                      \
        }                                                    \
    } while (0)

int main(void) {
    static const unsigned char key[8] = {0x13, 0x34, 0x57, 0x79, 0x9B, 0xBC, 0xDF, 0xF1};
    static const unsigned char plain[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
    unsigned char block[8];
    des_context ctx;
    char* hex;
    char* out = (char*)"untouched";
    EncryptionKeys keys = {NULL, NULL};
    SM3_CTX sm3;
    unsigned char md[SM3_DIGEST_LENGTH];

    CHECK(des_set_key(&ctx, key) == 0);
    des_encrypt(&ctx, plain, block);
    hex = data2HEXString(block, 8);
    CHECK(hex != NULL && strcmp(hex, "85E813540F0AB405") == 0);
    free(hex);
    des_decrypt(&ctx, block, block);
    CHECK(memcmp(block, plain, 8) == 0);

    CHECK(getDegree(0, NULL) == 83);
    CHECK(dornEncrypt(6, &keys, &out, "pw", "1") == 0);
    CHECK(strcmp(out, "untouched") == 0);

    SM3_Init(&sm3);
    SM3_Update(&sm3, "abc", 3);
    SM3_Final(md, &sm3);
    hex = data2HEXString(md, SM3_DIGEST_LENGTH);
    CHECK(hex != NULL &&
          strcmp(hex, "66C7F0F462EEEDD9D1F2D46BDC10E4E24167C4875CF2F7A2297DA02B8F4BA8E0") == 0);
    free(hex);
    CHECK(SM2ED_get_default_method() == SM2ED_OpenSSL());

    printf("%d passed, %d failed\n", failures == 0 ? 1 : 0, failures == 0 ? 0 : 1);
    return failures == 0 ? 0 : 1;
}
