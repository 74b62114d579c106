/* Password encryption formats: what the bank's servers receive.
 *
 * dornEncrypt picks one of six output formats (modes 0 to 5); the other
 * functions are its building blocks. No state is kept between calls: each
 * call parses its keys from hex text, uses them and releases them, so any
 * number of calls may run at once. Every returned string is a new heap block
 * that the caller releases with free(). Diagnostics are single English lines
 * on standard error; dornEncrypt itself always returns 0, and a result
 * reference left untouched is the caller's only sign of failure.
 * Buffers that held the text, keys or intermediate ciphertexts are wiped
 * before release.
 *
 * Cost per call, on a 1024-bit key: modes 0 and 2 are dominated by parsing
 * the modulus and one or two RSA public operations (tens of microseconds),
 * mode 1 by two raw RSA operations more, modes 3 to 5 by one SM2 encryption
 * (about half a millisecond). /dev/urandom is opened at the first call
 * that needs random bytes and stays open (close-on-exec) for the process. */
#ifndef SECURITY_SECURITY_H
#define SECURITY_SECURITY_H

#ifdef __cplusplus
extern "C" {
#endif

/* Hex texts: applicationKey is the RSA modulus of the application key
 * (standard envelope); platformKey is the RSA modulus of the platform key
 * (modes 1, 2) or its SM2 public key as 128 hex digits X || Y (modes 3-5). */
typedef struct EncryptionKeys {
    const char* applicationKey;
    const char* platformKey;
} EncryptionKeys;

/* mode 0: Base64 standard envelope of "S" + timestamp + ":" + text
 * mode 1: hex PIN block || DES key block || server random (16 + 4k digits);
 *         text is the PIN as hex digits (at most 31), extra the server random
 * mode 2: envelope of the hex RSA (PKCS#1 v1.5) ciphertext of text
 * mode 3: envelope of the hex SM2 ciphertext of a 32-byte block, text <= 19 bytes
 * mode 4: likewise with the length-first block, text <= 30 bytes
 * mode 5: likewise with the text's first 32 bytes (zero-filled), text not empty
 * extra (one further const char*): the timestamp, or the server random in
 * mode 1. Other modes do nothing. Sets *out on success; returns 0 always. */
int dornEncrypt(int mode, const EncryptionKeys* keys, char** out, const char* text, ...);

/* Base64 standard envelope under the RSA modulus; 1 on success, 0 on failure. */
int encryptStandard(const char* modulusHex, const char* timestamp, const char* text, char** out);
/* 2k hex digits: raw RSA of the DES key block holding the 16-byte key. 1 or 0. */
int encryptDesKey(const char* modulusHex, const unsigned char* desKey, char** out);
/* 2k hex digits: raw RSA of the server random (at most k hex digits). 1 or 0. */
int encryptServerRand(const char* modulusHex, const char* randomHex, char** out);

/* 2 * count upper-case hex digits ("" when count <= 0; NULL when bytes is NULL
 * with a positive count or memory runs out). */
char* data2HEXString(const unsigned char* bytes, int count);
/* Converts length / 2 digit pairs into out, then writes out[length / 2] = 0.
 * Stops without writing anything more at the first pair holding a
 * non-hex character (a text shorter than length stops at its terminator).
 * out needs length / 2 + 1 bytes; a length below 2 writes only out[0] = 0.
 * Does nothing when out is NULL, nor when hex is NULL and length >= 2. */
void hex2Byte(const char* hex, int length, unsigned char* out);
/* count bytes from /dev/urandom (one read, not retried). 1 or 0. The file
 * is opened once per process, at the first call, and opened again at the
 * next call after a failed open. Thread-safe. */
int generateRandom(unsigned char* buffer, int count);
/* Always NULL. */
const char* getErrorMessage(int code);
/* Always 83 ('S'). */
int getDegree(int kind, const char* text);

#ifdef __cplusplus
}
#endif

#endif
