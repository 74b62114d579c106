// Run-time binding of the token maker's device library
// ("/usr/local/lib/libUSBQdvKey_20244.so" here, platform::tokenLibraryPath()).
//
// Loader: Func_Init / Func_Finalize / IsInitedOK and the state hDylib, glb_bInited.
// Wrappers: one per library function, same name (misspellings included:
// KpGetChangePINFlage, Kp33ImprotRSA, HWSM2ImportKeyPair), same parameters,
// C linkage. Each wrapper looks its function up by name on every call and
// returns its status unchanged; it returns KP_STATUS_UNAVAILABLE (0xFFFFFFFF)
// after printing "Load dylib file Failed.\n" when the library is not loaded
// (it never loads it itself), or "get api <name> failed" (no newline) when the
// function is missing. Messages go to standard output.
//
// Two static libraries carry this header:
//   token_manager - the key manager's: KpListReaders filters by PCODE (below);
//   token_agent   - the key agent's: KpListReaders passes through unfiltered.
//
// Parameter shapes: p = 64-bit (pointer or KPHANDLE), u = uint32_t, R<n> = a
// record of n bytes passed by value (KP_REC<n>). Only the functions marked
// "Contract" are called by the system; the parameters of the others are opaque
// and passed through unchanged.
//
// Thread safety: Func_Init and Func_Finalize write hDylib/glb_bInited and
// must run before other threads use the binding; the wrappers take no lock and
// may be called from any thread (what the library needs is left to it).
// Memory: the binding allocates nothing for callers; every buffer is the caller's.
#pragma once

#include <stdint.h>

#include "token/KeyIdentity.h"  // KP_PCODE_BANK
#ifndef __cplusplus
#include <stdbool.h>
#endif

// Statuses the system names (every call returns a 32-bit status, 0 = success).
#define KP_STATUS_OK 0x00000000u
#define KP_STATUS_UNAVAILABLE 0xFFFFFFFFu    // library not loaded or function missing (binding)
#define KP_STATUS_FOREIGN_KEY 34u            // token_manager's KpListReaders: a key of another PCODE
#define KP_STATUS_PIN_INCORRECT 0x8800003Du  // KpChangeUserPin: old PIN wrong, *pdwRetry = tries left
#define KP_STATUS_PIN_LOCKED 0x8800003Eu     // key locked
#define KP_STATUS_DEVICE_ERROR 0x88000044u   // hardware returned a command error
#define KP_STATUS_CANCELLED 0x88000061u      // user cancelled on the key
#define KP_STATUS_TIMEOUT 0xE0020013u        // button never pressed

#define KP_KEYSPEC_SIGN 2u  // KpReadCert: the container's signing certificate
#define KP_KEYSPEC_ENC 1u   // KpReadCert: the container's encryption certificate

// Device handle: opaque 64-bit value from KpConnectDev.
typedef void* KPHANDLE;

// Records passed by value; their layout is the library's business.
typedef struct {
    unsigned char b[28];
} KP_REC28;
typedef struct {
    unsigned char b[32];
} KP_REC32;
typedef struct {
    unsigned char b[516];
} KP_REC516;
typedef struct {
    unsigned char b[1928];
} KP_REC1928;

#ifdef __cplusplus
extern "C" {
#endif

// ---- Loader state (process-wide; written only by Func_Init/Func_Finalize) ----
extern void* hDylib;      // dlopen handle; null while not loaded
extern bool glb_bInited;  // true after a successful load

// Loads the library (lazy binding): path when non-null and non-empty, else
// platform::tokenLibraryPath(). A second call unloads the first handle first.
// Returns 0 when loaded, 1 when not (after printing dlerror() + "\n" on stdout).
int Func_Init(const char* path);

// Unloads (dlclose) when loaded; clears hDylib and glb_bInited.
void Func_Finalize(void);

// True when loaded; if not, tries Func_Init(NULL) first (again on every call).
bool IsInitedOK(void);

// ---- Wrappers (94), in the order of the module ----
// token_manager's KpListReaders: calls the library with a private 1024-byte
// buffer, connects to every listed reader and reads its PCODE; returns 34
// (caller's buffer, length and count untouched) at the first key whose PCODE is
// not 20244; otherwise keeps the bank's keys, stores the count, copies
// min(capacity, kept length) bytes and writes back the kept length (which may
// exceed the capacity). Null length pointer or capacity 0: 0xFFFFFFFF without
// calling the library. Result: the status of the last connect/begin/PCODE read.

// ---- Readers and device ----
// Contract 1. Name list of the attached readers; in: *pdwReaderNameLen = capacity,
// out: bytes used; *pdwReaderNum = number of readers. (token_manager: filtered, see below.)
uint32_t KpListReaders(char* szReaderNames, uint32_t* pdwReaderNameLen, uint32_t* pdwReaderNum);
// Contract 2. Handle valid until KpDisconnectDev; pair every connect with a disconnect.
uint32_t KpConnectDev(const char* szReaderName, KPHANDLE* phDev);
// Contract 3. Begin exclusive use of the device.
uint32_t KpBeginTransaction(KPHANDLE hDev);
// Contract 4. *pdwPCODE = product code (KP_PCODE_BANK for the bank's keys); preset both
// outputs to 0: they are left alone when the read fails. *pdwReserved is unused.
uint32_t KpReadPCODE(KPHANDLE hDev, uint32_t* pdwPCODE, uint32_t* pdwReserved);
// Contract 3. End exclusive use.
uint32_t KpEndTransaction(KPHANDLE hDev);
// Contract 11. Releases the handle.
uint32_t KpDisconnectDev(KPHANDLE hDev);
uint32_t KpGetDevState(KPHANDLE hDev, void* p1);
uint32_t KpReadLabel(KPHANDLE hDev, void* p1, void* p2);
uint32_t KpGetDeviceInfo(KPHANDLE hDev, void* p1);
uint32_t KpGetSerial(KPHANDLE hDev, void* p1);
// Contract 9. Serial number as text; in: *pdwDSNLen = capacity (64), out: length.
uint32_t KpReadDSN(KPHANDLE hDev, char* szDSN, uint32_t* pdwDSNLen);
uint32_t KpWriteDSN(KPHANDLE hDev, void* p1, uint32_t u2);
uint32_t KpGenRandom(KPHANDLE hDev, uint32_t u1, void* p2);

// ---- Containers and certificates ----
// Contract 5. Name list of the containers; in: capacity (1024), out: bytes used.
uint32_t KpListContainers(KPHANDLE hDev, char* szContainerNames, uint32_t* pdwNamesLen,
                          uint32_t* pdwContainerNum);
uint32_t KpGetContainerNum(KPHANDLE hDev, void* p1);
uint32_t KpGetContainerParam(KPHANDLE hDev, void* p1, void* p2);
uint32_t KpGetContainerName(KPHANDLE hDev, uint32_t u1, void* p2, void* p3, void* p4);
uint32_t KpCreateContainer(KPHANDLE hDev, void* p1);
uint32_t KpDelContainer(KPHANDLE hDev, void* p1);
uint32_t KpDelContainerItem(KPHANDLE hDev, void* p1, uint32_t u2);
// Contract 6. DER certificate of dwKeySpec (KP_KEYSPEC_SIGN / KP_KEYSPEC_ENC);
// in: *pdwCertLen = capacity (4096), out: certificate length. Present only when
// status 0 and length != 0.
uint32_t KpReadCert(KPHANDLE hDev, const char* szContainerName, uint32_t dwKeySpec, unsigned char* pbCert,
                    uint32_t* pdwCertLen);
uint32_t KpDeleteApp(KPHANDLE hDev);

// ---- PINs ----
uint32_t KpVerifyUserPin(KPHANDLE hDev, void* p1, void* p2);
// Contract 10. PINs as NUL-terminated UTF-8; *pdwRetry preset by the caller; after
// KP_STATUS_PIN_INCORRECT it holds the tries left. Blocks until the key's button
// is pressed, refused, or times out.
uint32_t KpChangeUserPin(KPHANDLE hDev, const char* szOldPin, const char* szNewPin, uint32_t* pdwRetry);
uint32_t KpVerifySOPin(KPHANDLE hDev, void* p1, void* p2);
uint32_t KpChangeSOPin(KPHANDLE hDev, void* p1, void* p2, void* p3);
uint32_t KpReset(KPHANDLE hDev);
uint32_t KpChangePINRetryNum(KPHANDLE hDev, uint32_t u1, uint32_t u2);
uint32_t KpGetSOPinRetryNum(KPHANDLE hDev, void* p1);
uint32_t KpGetSOPinRetryNumEx(KPHANDLE hDev, void* p1);
// Contract 7. Remaining user PIN tries (callers preset 6); 0 with status 0 = locked.
uint32_t KpGetUserPinRetryNum(KPHANDLE hDev, uint32_t* pdwRetry);
uint32_t KpGetUserPinRetryNumEx(KPHANDLE hDev, void* p1);
uint32_t KpReWriteUserPin(KPHANDLE hDev, void* p1, void* p2, void* p3);
uint32_t KpGetSafeState(KPHANDLE hDev);
uint32_t KpResetSOPin(KPHANDLE hDev);
// Contract 8. Change-PIN flag (0 or 1 steer the PIN change).
uint32_t KpGetChangePINFlage(KPHANDLE hDev, uint32_t* pdwFlag);
uint32_t KpVerifyDevAuth(KPHANDLE hDev, void* p1, uint32_t u2);
// Contract 8. Key type (1 = no button prompt window).
uint32_t KpGetKeyType(KPHANDLE hDev, uint32_t* pdwKeyType);

// ---- Files on the key ----
uint32_t KpCreateFile(KPHANDLE hDev, KP_REC28 r1);
uint32_t KpWriteFile(KPHANDLE hDev, uint32_t u1, uint32_t u2, void* p3, uint32_t u4);
uint32_t KpReadFile(KPHANDLE hDev, uint32_t u1, uint32_t u2, void* p3, void* p4);
uint32_t KpDeleteFile(KPHANDLE hDev, uint32_t u1);
uint32_t KpGetFileSize(KPHANDLE hDev, uint32_t u1, void* p2);
uint32_t KpGetFileRight(KPHANDLE hDev, uint32_t u1, uint32_t u2, void* p3);
uint32_t KpHasFileExist(KPHANDLE hDev, uint32_t u1, void* p2);

// ---- Symmetric keys and ciphers ----
uint32_t KpHashPadding(KPHANDLE hDev, uint32_t u1, void* p2, uint32_t u3, void* p4, void* p5);
uint32_t KpWriteKey(KPHANDLE hDev, KP_REC32 r1);
uint32_t KpSymEcb(KPHANDLE hDev, uint32_t u1, uint32_t u2, void* p3, uint32_t u4, void* p5);
uint32_t KpSymSessionEcb(KPHANDLE hDev, uint32_t u1, void* p2, uint32_t u3, void* p4, KP_REC32 r5);
uint32_t KpDESEcb(KPHANDLE hDev, uint32_t u1, uint32_t u2, void* p3, uint32_t u4, void* p5);
uint32_t KpDESCbc(KPHANDLE hDev, uint32_t u1, void* p2, uint32_t u3, void* p4, uint32_t u5, void* p6,
                  void* p7);
uint32_t KpSCB2Cbc(KPHANDLE hDev, void* p1, void* p2, uint32_t u3, void* p4, uint32_t u5, void* p6, void* p7);
uint32_t KpSymInit(KPHANDLE hDev, uint32_t u1, void* p2, uint32_t u3, void* p4, uint32_t u5, void* p6,
                   uint32_t u7, uint32_t u8, uint32_t u9, void* p10);
uint32_t KpSymUpdate(KPHANDLE hDev, void* p1, void* p2, uint32_t u3, void* p4, void* p5);
uint32_t KpSymFinal(KPHANDLE hDev, void* p1, void* p2, void* p3);

// ---- Digests ----
uint32_t KpHashInitSM3(KPHANDLE hDev, void* p1);
uint32_t KpHashUpdateSM3(KPHANDLE hDev, void* p1, uint32_t u2);
uint32_t KpHashFinalSM3(KPHANDLE hDev, void* p1, void* p2);
uint32_t KpGetZ(KPHANDLE hDev, void* p1, void* p2, uint32_t u3, void* p4, void* p5);
uint32_t KpHashInit(uint32_t u0, void* p1);
uint32_t KpHashUpdate(void* p0, void* p1, uint32_t u2);
uint32_t KpHashFinal(void* p0, void* p1, void* p2);
uint32_t KpHashData(uint32_t u0, void* p1, uint32_t u2, void* p3, void* p4);

// ---- RSA ----
uint32_t KpGenRSA(KPHANDLE hDev, void* p1, uint32_t u2);
uint32_t KpGenRSAEx(KPHANDLE hDev, void* p1, uint32_t u2, uint32_t u3);
uint32_t KpExportRSAPubKey(KPHANDLE hDev, void* p1, uint32_t u2, void* p3, void* p4);
uint32_t KpImportRSA(KPHANDLE hDev, void* p1, uint32_t u2, uint32_t u3, void* p4, uint32_t u5);
uint32_t KpRSAEncrypt(KPHANDLE hDev, void* p1, uint32_t u2, uint32_t u3, void* p4, uint32_t u5, void* p6,
                      void* p7);
uint32_t KpRSADecrypt(KPHANDLE hDev, void* p1, uint32_t u2, uint32_t u3, void* p4, uint32_t u5, void* p6,
                      void* p7);
uint32_t KpRSASign(KPHANDLE hDev, void* p1, uint32_t u2, uint32_t u3, void* p4, uint32_t u5, void* p6,
                   void* p7);
uint32_t KpRSASignXml(KPHANDLE hDev, void* p1, uint32_t u2, uint32_t u3, void* p4, uint32_t u5, void* p6,
                      void* p7);
uint32_t KpRSAVerify(KPHANDLE hDev, void* p1, uint32_t u2, uint32_t u3, void* p4, uint32_t u5, void* p6,
                     void* p7);
uint32_t KpExportRSA(KPHANDLE hDev, void* p1, uint32_t u2, void* p3);
uint32_t KpImportRSAEx(KPHANDLE hDev, void* p1, uint32_t u2, KP_REC1928 r3);
uint32_t Kp33ImprotRSA(KPHANDLE hDev, void* p1, uint32_t u2, void* p3, uint32_t u4, void* p5);
uint32_t KpRSAEncryptSoft(uint32_t u0, void* p1, uint32_t u2, void* p3, void* p4, KP_REC516 r5);
uint32_t KpRSAVerifySoft(uint32_t u0, void* p1, uint32_t u2, void* p3, void* p4, KP_REC516 r5);
uint32_t KpRSA1024SignXml(KPHANDLE hDev, void* p1, uint32_t u2, uint32_t u3, void* p4, uint32_t u5, void* p6,
                          void* p7);
uint32_t KpRSA2048SignXml(KPHANDLE hDev, void* p1, uint32_t u2, uint32_t u3, void* p4, uint32_t u5, void* p6,
                          void* p7);

// ---- SM2 ----
uint32_t KpGenSM2KeyPair(KPHANDLE hDev, void* p1, uint32_t u2, void* p3);
uint32_t KpSM2SignByCon(KPHANDLE hDev, void* p1, void* p2, uint32_t u3, void* p4);
uint32_t KpSM2DecryptByCon(KPHANDLE hDev, void* p1, void* p2, void* p3, void* p4);
uint32_t KpSM2Sign(KPHANDLE hDev, void* p1, void* p2, uint32_t u3, void* p4);
uint32_t KpSM2Verify(KPHANDLE hDev, void* p1, void* p2, uint32_t u3, void* p4);
uint32_t KpSM2Encrypt(KPHANDLE hDev, void* p1, void* p2, uint32_t u3, void* p4);
uint32_t KpSM2Decrypt(KPHANDLE hDev, void* p1, void* p2, void* p3, void* p4);
uint32_t KpSM2ExportSessionKey(KPHANDLE hDev, uint32_t u1, void* p2, void* p3, void* p4);
uint32_t KpSM2ImportSessionKey(KPHANDLE hDev, uint32_t u1, void* p2, void* p3, uint32_t u4);
uint32_t HWSM2ImportKeyPair(KPHANDLE hDev, uint32_t u1, uint32_t u2, uint32_t u3, void* p4, uint32_t u5);
uint32_t KpExportSM2PubKey(KPHANDLE hDev, void* p1, uint32_t u2, void* p3);
uint32_t KpSM2SignXml(KPHANDLE hDev, void* p1, void* p2, uint32_t u3, uint32_t u4, void* p5);
uint32_t KpSM2DecryptByConFJCA(KPHANDLE hDev, void* p1, void* p2, void* p3, void* p4);

// ---- Other ----
uint32_t KpKeyInit(KPHANDLE hDev, void* p1, void* p2, uint32_t u3);
uint32_t KpTransmit(KPHANDLE hDev, void* p1, uint32_t u2, void* p3, void* p4, void* p5);

#ifdef __cplusplus
}  // extern "C"
#endif
