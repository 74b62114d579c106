// X-macro list of the 94 functions of the token device library, in the order
// of the module: X(name, (parameter declarations), (argument names)).
// Shared by the binding (token/Func_init.cpp) and the simulator (sim/token) so
// both carry exactly the shapes declared in token/Func_init.h; the compiler
// checks every expansion against those declarations.
#pragma once

#include "token/Func_init.h"

// Marking names for a consumer: define KP_MARK_<prefix>_<name> as "~, 1" for
// each name to single out, then KP_IS_MARKED(<prefix>, name) expands to 1 for
// those names and to 0 for all others. With KP_CAT this picks one of two
// macros per function, e.g. KP_CAT(MY_, KP_IS_MARKED(SELF, name))(...).
#define KP_CAT_(a, b) a##b
#define KP_CAT(a, b) KP_CAT_(a, b)
#define KP_SECOND_(a, b, ...) b
#define KP_SECOND(...) KP_SECOND_(__VA_ARGS__, 0, 0)
#define KP_IS_MARKED(prefix, name) KP_SECOND(KP_CAT(KP_CAT(KP_MARK_, prefix), KP_CAT(_, name)))

// The functions of the contract, marked as KP_IS_MARKED(CONTRACT, name).
#define KP_MARK_CONTRACT_KpListReaders ~, 1
#define KP_MARK_CONTRACT_KpConnectDev ~, 1
#define KP_MARK_CONTRACT_KpBeginTransaction ~, 1
#define KP_MARK_CONTRACT_KpReadPCODE ~, 1
#define KP_MARK_CONTRACT_KpEndTransaction ~, 1
#define KP_MARK_CONTRACT_KpDisconnectDev ~, 1
#define KP_MARK_CONTRACT_KpListContainers ~, 1
#define KP_MARK_CONTRACT_KpReadCert ~, 1
#define KP_MARK_CONTRACT_KpGetUserPinRetryNum ~, 1
#define KP_MARK_CONTRACT_KpGetKeyType ~, 1
#define KP_MARK_CONTRACT_KpGetChangePINFlage ~, 1
#define KP_MARK_CONTRACT_KpReadDSN ~, 1
#define KP_MARK_CONTRACT_KpChangeUserPin ~, 1

#define KP_FUNCTION_LIST(X)                                                                                  \
    X(KpListReaders, (char* szReaderNames, uint32_t* pdwReaderNameLen, uint32_t* pdwReaderNum),              \
      (szReaderNames, pdwReaderNameLen, pdwReaderNum))                                                       \
    X(KpConnectDev, (const char* szReaderName, KPHANDLE* phDev), (szReaderName, phDev))                      \
    X(KpBeginTransaction, (KPHANDLE hDev), (hDev))                                                           \
    X(KpReadPCODE, (KPHANDLE hDev, uint32_t * pdwPCODE, uint32_t * pdwReserved),                             \
      (hDev, pdwPCODE, pdwReserved))                                                                         \
    X(KpEndTransaction, (KPHANDLE hDev), (hDev))                                                             \
    X(KpDisconnectDev, (KPHANDLE hDev), (hDev))                                                              \
    X(KpGetDevState, (KPHANDLE hDev, void* p1), (hDev, p1))                                                  \
    X(KpReadLabel, (KPHANDLE hDev, void* p1, void* p2), (hDev, p1, p2))                                      \
    X(KpGetDeviceInfo, (KPHANDLE hDev, void* p1), (hDev, p1))                                                \
    X(KpGetSerial, (KPHANDLE hDev, void* p1), (hDev, p1))                                                    \
    X(KpReadDSN, (KPHANDLE hDev, char* szDSN, uint32_t* pdwDSNLen), (hDev, szDSN, pdwDSNLen))                \
    X(KpWriteDSN, (KPHANDLE hDev, void* p1, uint32_t u2), (hDev, p1, u2))                                    \
    X(KpGenRandom, (KPHANDLE hDev, uint32_t u1, void* p2), (hDev, u1, p2))                                   \
    X(KpListContainers,                                                                                      \
      (KPHANDLE hDev, char* szContainerNames, uint32_t* pdwNamesLen, uint32_t* pdwContainerNum),             \
      (hDev, szContainerNames, pdwNamesLen, pdwContainerNum))                                                \
    X(KpGetContainerNum, (KPHANDLE hDev, void* p1), (hDev, p1))                                              \
    X(KpGetContainerParam, (KPHANDLE hDev, void* p1, void* p2), (hDev, p1, p2))                              \
    X(KpGetContainerName, (KPHANDLE hDev, uint32_t u1, void* p2, void* p3, void* p4),                        \
      (hDev, u1, p2, p3, p4))                                                                                \
    X(KpCreateContainer, (KPHANDLE hDev, void* p1), (hDev, p1))                                              \
    X(KpDelContainer, (KPHANDLE hDev, void* p1), (hDev, p1))                                                 \
    X(KpDelContainerItem, (KPHANDLE hDev, void* p1, uint32_t u2), (hDev, p1, u2))                            \
    X(KpReadCert,                                                                                            \
      (KPHANDLE hDev, const char* szContainerName, uint32_t dwKeySpec, unsigned char* pbCert,                \
       uint32_t* pdwCertLen),                                                                                \
      (hDev, szContainerName, dwKeySpec, pbCert, pdwCertLen))                                                \
    X(KpDeleteApp, (KPHANDLE hDev), (hDev))                                                                  \
    X(KpVerifyUserPin, (KPHANDLE hDev, void* p1, void* p2), (hDev, p1, p2))                                  \
    X(KpChangeUserPin, (KPHANDLE hDev, const char* szOldPin, const char* szNewPin, uint32_t* pdwRetry),      \
      (hDev, szOldPin, szNewPin, pdwRetry))                                                                  \
    X(KpVerifySOPin, (KPHANDLE hDev, void* p1, void* p2), (hDev, p1, p2))                                    \
    X(KpChangeSOPin, (KPHANDLE hDev, void* p1, void* p2, void* p3), (hDev, p1, p2, p3))                      \
    X(KpReset, (KPHANDLE hDev), (hDev))                                                                      \
    X(KpChangePINRetryNum, (KPHANDLE hDev, uint32_t u1, uint32_t u2), (hDev, u1, u2))                        \
    X(KpGetSOPinRetryNum, (KPHANDLE hDev, void* p1), (hDev, p1))                                             \
    X(KpGetSOPinRetryNumEx, (KPHANDLE hDev, void* p1), (hDev, p1))                                           \
    X(KpGetUserPinRetryNum, (KPHANDLE hDev, uint32_t * pdwRetry), (hDev, pdwRetry))                          \
    X(KpGetUserPinRetryNumEx, (KPHANDLE hDev, void* p1), (hDev, p1))                                         \
    X(KpReWriteUserPin, (KPHANDLE hDev, void* p1, void* p2, void* p3), (hDev, p1, p2, p3))                   \
    X(KpGetSafeState, (KPHANDLE hDev), (hDev))                                                               \
    X(KpResetSOPin, (KPHANDLE hDev), (hDev))                                                                 \
    X(KpGetChangePINFlage, (KPHANDLE hDev, uint32_t * pdwFlag), (hDev, pdwFlag))                             \
    X(KpVerifyDevAuth, (KPHANDLE hDev, void* p1, uint32_t u2), (hDev, p1, u2))                               \
    X(KpGetKeyType, (KPHANDLE hDev, uint32_t * pdwKeyType), (hDev, pdwKeyType))                              \
    X(KpCreateFile, (KPHANDLE hDev, KP_REC28 r1), (hDev, r1))                                                \
    X(KpWriteFile, (KPHANDLE hDev, uint32_t u1, uint32_t u2, void* p3, uint32_t u4), (hDev, u1, u2, p3, u4)) \
    X(KpReadFile, (KPHANDLE hDev, uint32_t u1, uint32_t u2, void* p3, void* p4), (hDev, u1, u2, p3, p4))     \
    X(KpDeleteFile, (KPHANDLE hDev, uint32_t u1), (hDev, u1))                                                \
    X(KpGetFileSize, (KPHANDLE hDev, uint32_t u1, void* p2), (hDev, u1, p2))                                 \
    X(KpGetFileRight, (KPHANDLE hDev, uint32_t u1, uint32_t u2, void* p3), (hDev, u1, u2, p3))               \
    X(KpHasFileExist, (KPHANDLE hDev, uint32_t u1, void* p2), (hDev, u1, p2))                                \
    X(KpHashPadding, (KPHANDLE hDev, uint32_t u1, void* p2, uint32_t u3, void* p4, void* p5),                \
      (hDev, u1, p2, u3, p4, p5))                                                                            \
    X(KpWriteKey, (KPHANDLE hDev, KP_REC32 r1), (hDev, r1))                                                  \
    X(KpSymEcb, (KPHANDLE hDev, uint32_t u1, uint32_t u2, void* p3, uint32_t u4, void* p5),                  \
      (hDev, u1, u2, p3, u4, p5))                                                                            \
    X(KpSymSessionEcb, (KPHANDLE hDev, uint32_t u1, void* p2, uint32_t u3, void* p4, KP_REC32 r5),           \
      (hDev, u1, p2, u3, p4, r5))                                                                            \
    X(KpDESEcb, (KPHANDLE hDev, uint32_t u1, uint32_t u2, void* p3, uint32_t u4, void* p5),                  \
      (hDev, u1, u2, p3, u4, p5))                                                                            \
    X(KpDESCbc,                                                                                              \
      (KPHANDLE hDev, uint32_t u1, void* p2, uint32_t u3, void* p4, uint32_t u5, void* p6, void* p7),        \
      (hDev, u1, p2, u3, p4, u5, p6, p7))                                                                    \
    X(KpSCB2Cbc,                                                                                             \
      (KPHANDLE hDev, void* p1, void* p2, uint32_t u3, void* p4, uint32_t u5, void* p6, void* p7),           \
      (hDev, p1, p2, u3, p4, u5, p6, p7))                                                                    \
    X(KpSymInit,                                                                                             \
      (KPHANDLE hDev, uint32_t u1, void* p2, uint32_t u3, void* p4, uint32_t u5, void* p6, uint32_t u7,      \
       uint32_t u8, uint32_t u9, void* p10),                                                                 \
      (hDev, u1, p2, u3, p4, u5, p6, u7, u8, u9, p10))                                                       \
    X(KpSymUpdate, (KPHANDLE hDev, void* p1, void* p2, uint32_t u3, void* p4, void* p5),                     \
      (hDev, p1, p2, u3, p4, p5))                                                                            \
    X(KpSymFinal, (KPHANDLE hDev, void* p1, void* p2, void* p3), (hDev, p1, p2, p3))                         \
    X(KpHashInitSM3, (KPHANDLE hDev, void* p1), (hDev, p1))                                                  \
    X(KpHashUpdateSM3, (KPHANDLE hDev, void* p1, uint32_t u2), (hDev, p1, u2))                               \
    X(KpHashFinalSM3, (KPHANDLE hDev, void* p1, void* p2), (hDev, p1, p2))                                   \
    X(KpGetZ, (KPHANDLE hDev, void* p1, void* p2, uint32_t u3, void* p4, void* p5),                          \
      (hDev, p1, p2, u3, p4, p5))                                                                            \
    X(KpHashInit, (uint32_t u0, void* p1), (u0, p1))                                                         \
    X(KpHashUpdate, (void* p0, void* p1, uint32_t u2), (p0, p1, u2))                                         \
    X(KpHashFinal, (void* p0, void* p1, void* p2), (p0, p1, p2))                                             \
    X(KpHashData, (uint32_t u0, void* p1, uint32_t u2, void* p3, void* p4), (u0, p1, u2, p3, p4))            \
    X(KpGenRSA, (KPHANDLE hDev, void* p1, uint32_t u2), (hDev, p1, u2))                                      \
    X(KpGenRSAEx, (KPHANDLE hDev, void* p1, uint32_t u2, uint32_t u3), (hDev, p1, u2, u3))                   \
    X(KpExportRSAPubKey, (KPHANDLE hDev, void* p1, uint32_t u2, void* p3, void* p4), (hDev, p1, u2, p3, p4)) \
    X(KpImportRSA, (KPHANDLE hDev, void* p1, uint32_t u2, uint32_t u3, void* p4, uint32_t u5),               \
      (hDev, p1, u2, u3, p4, u5))                                                                            \
    X(KpRSAEncrypt,                                                                                          \
      (KPHANDLE hDev, void* p1, uint32_t u2, uint32_t u3, void* p4, uint32_t u5, void* p6, void* p7),        \
      (hDev, p1, u2, u3, p4, u5, p6, p7))                                                                    \
    X(KpRSADecrypt,                                                                                          \
      (KPHANDLE hDev, void* p1, uint32_t u2, uint32_t u3, void* p4, uint32_t u5, void* p6, void* p7),        \
      (hDev, p1, u2, u3, p4, u5, p6, p7))                                                                    \
    X(KpRSASign,                                                                                             \
      (KPHANDLE hDev, void* p1, uint32_t u2, uint32_t u3, void* p4, uint32_t u5, void* p6, void* p7),        \
      (hDev, p1, u2, u3, p4, u5, p6, p7))                                                                    \
    X(KpRSASignXml,                                                                                          \
      (KPHANDLE hDev, void* p1, uint32_t u2, uint32_t u3, void* p4, uint32_t u5, void* p6, void* p7),        \
      (hDev, p1, u2, u3, p4, u5, p6, p7))                                                                    \
    X(KpRSAVerify,                                                                                           \
      (KPHANDLE hDev, void* p1, uint32_t u2, uint32_t u3, void* p4, uint32_t u5, void* p6, void* p7),        \
      (hDev, p1, u2, u3, p4, u5, p6, p7))                                                                    \
    X(KpExportRSA, (KPHANDLE hDev, void* p1, uint32_t u2, void* p3), (hDev, p1, u2, p3))                     \
    X(KpImportRSAEx, (KPHANDLE hDev, void* p1, uint32_t u2, KP_REC1928 r3), (hDev, p1, u2, r3))              \
    X(Kp33ImprotRSA, (KPHANDLE hDev, void* p1, uint32_t u2, void* p3, uint32_t u4, void* p5),                \
      (hDev, p1, u2, p3, u4, p5))                                                                            \
    X(KpRSAEncryptSoft, (uint32_t u0, void* p1, uint32_t u2, void* p3, void* p4, KP_REC516 r5),              \
      (u0, p1, u2, p3, p4, r5))                                                                              \
    X(KpRSAVerifySoft, (uint32_t u0, void* p1, uint32_t u2, void* p3, void* p4, KP_REC516 r5),               \
      (u0, p1, u2, p3, p4, r5))                                                                              \
    X(KpRSA1024SignXml,                                                                                      \
      (KPHANDLE hDev, void* p1, uint32_t u2, uint32_t u3, void* p4, uint32_t u5, void* p6, void* p7),        \
      (hDev, p1, u2, u3, p4, u5, p6, p7))                                                                    \
    X(KpRSA2048SignXml,                                                                                      \
      (KPHANDLE hDev, void* p1, uint32_t u2, uint32_t u3, void* p4, uint32_t u5, void* p6, void* p7),        \
      (hDev, p1, u2, u3, p4, u5, p6, p7))                                                                    \
    X(KpGenSM2KeyPair, (KPHANDLE hDev, void* p1, uint32_t u2, void* p3), (hDev, p1, u2, p3))                 \
    X(KpSM2SignByCon, (KPHANDLE hDev, void* p1, void* p2, uint32_t u3, void* p4), (hDev, p1, p2, u3, p4))    \
    X(KpSM2DecryptByCon, (KPHANDLE hDev, void* p1, void* p2, void* p3, void* p4), (hDev, p1, p2, p3, p4))    \
    X(KpSM2Sign, (KPHANDLE hDev, void* p1, void* p2, uint32_t u3, void* p4), (hDev, p1, p2, u3, p4))         \
    X(KpSM2Verify, (KPHANDLE hDev, void* p1, void* p2, uint32_t u3, void* p4), (hDev, p1, p2, u3, p4))       \
    X(KpSM2Encrypt, (KPHANDLE hDev, void* p1, void* p2, uint32_t u3, void* p4), (hDev, p1, p2, u3, p4))      \
    X(KpSM2Decrypt, (KPHANDLE hDev, void* p1, void* p2, void* p3, void* p4), (hDev, p1, p2, p3, p4))         \
    X(KpSM2ExportSessionKey, (KPHANDLE hDev, uint32_t u1, void* p2, void* p3, void* p4),                     \
      (hDev, u1, p2, p3, p4))                                                                                \
    X(KpSM2ImportSessionKey, (KPHANDLE hDev, uint32_t u1, void* p2, void* p3, uint32_t u4),                  \
      (hDev, u1, p2, p3, u4))                                                                                \
    X(HWSM2ImportKeyPair, (KPHANDLE hDev, uint32_t u1, uint32_t u2, uint32_t u3, void* p4, uint32_t u5),     \
      (hDev, u1, u2, u3, p4, u5))                                                                            \
    X(KpExportSM2PubKey, (KPHANDLE hDev, void* p1, uint32_t u2, void* p3), (hDev, p1, u2, p3))               \
    X(KpSM2SignXml, (KPHANDLE hDev, void* p1, void* p2, uint32_t u3, uint32_t u4, void* p5),                 \
      (hDev, p1, p2, u3, u4, p5))                                                                            \
    X(KpSM2DecryptByConFJCA, (KPHANDLE hDev, void* p1, void* p2, void* p3, void* p4),                        \
      (hDev, p1, p2, p3, p4))                                                                                \
    X(KpKeyInit, (KPHANDLE hDev, void* p1, void* p2, uint32_t u3), (hDev, p1, p2, u3))                       \
    X(KpTransmit, (KPHANDLE hDev, void* p1, uint32_t u2, void* p3, void* p4, void* p5),                      \
      (hDev, p1, u2, p3, p4, p5))
