// Fault plan of the stand-in PKCS#11 module, read from QDPKCS11_FAULTS.
//
// Directives are separated by ';' or newlines (token labels may hold spaces):
//   C_Name=STATUS            every call of C_Name answers STATUS (hex 0x.. or decimal)
//                            without reaching the token (C_Initialize=0x191
//                            initialises, then answers "already initialized")
//   C_Name@N=STATUS          only the N-th call (1-based, counted from C_Initialize)
//   C_GetAttributeValue.ID=STATUS, .VALUE, .CLASS
//                            only calls whose first attribute is that one
//   remove=C_Name[@N]        the token is pulled out just before that call
//   nosign=LABEL             the token LABEL's CKM_RSA_PKCS lacks CKF_SIGN
//   noverify=LABEL           ... lacks CKF_VERIFY
//   longsig=N                signatures come with N more bytes (0xA5) after the real ones
//   certs=N                  a certificate search finds N handles, the real
//                            certificates repeated in their order (searches
//                            list objects by CKA_ID)
//   overcount=N              C_FindObjects claims N more objects than it wrote
//                            into the caller's room
//   nulllist=1               C_GetFunctionList answers CKR_OK without a list
//   badlength=ATTR           a length query of ID or VALUE answers CKR_OK with
//                            CK_UNAVAILABLE_INFORMATION
//   overlength=ATTR          a read of ID or VALUE, or SIGN: a signature, claims
//                            one byte more than the room it was given
//   hugelength=ATTR          a length query of ID or VALUE, or SIGN: a signature's
//                            size query, answers CKR_OK with 256 MiB
//   slotcount=N              the slot count query answers N (any 64-bit value)
#pragma once

#include <p11-kit/pkcs11.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qdpkcs11 {

struct StatusFault {
    std::string function;
    CK_ATTRIBUTE_TYPE attribute = 0;
    bool anyAttribute = true;
    unsigned nth = 0;  // 0: every call
    CK_RV status = CKR_OK;
    unsigned seen = 0;
};

struct Faults {
    std::vector<StatusFault> statuses;
    std::string removeAt;
    unsigned removeNth = 1;
    unsigned removeSeen = 0;
    std::vector<std::string> noSign;
    std::vector<std::string> noVerify;
    CK_ULONG longSignature = 0;
    CK_ULONG certificates = 0;
    CK_ULONG overCount = 0;
    bool nullFunctionList = false;
    std::vector<CK_ATTRIBUTE_TYPE> badLength;
    std::vector<CK_ATTRIBUTE_TYPE> overLength;
    bool overLongSignature = false;
    std::vector<CK_ATTRIBUTE_TYPE> hugeLength;
    bool hugeSignature = false;
    std::optional<CK_ULONG> slotCount;
};

// The plan for `text`, or nothing with a one-line reason in *error.
std::optional<Faults> parseFaults(std::string_view text, std::string* error);

}  // namespace qdpkcs11
