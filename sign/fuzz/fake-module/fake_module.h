// A PKCS#11 module whose every answer comes from a fuzz input: slot lists,
// mechanism flags, sessions, object searches, attribute lengths and values
// (certificates from a catalogue the harness gives, changed or cut, or any
// bytes), signature lengths and statuses, with lengths that may be larger
// or smaller than the room it was given. It writes only inside the room a
// caller gives it and touches that room's last byte, so a caller that
// claims more room than it has is caught by the address sanitizer.
//
// It aborts when the caller breaks the module's rules: a call before
// C_Initialize or after C_Finalize, a second C_Initialize, a session,
// object or slot it never handed out, a search or signature out of turn, a
// key searched by an ID it never gave, a login with a PIN (the engine logs
// in with an empty one), or C_Finalize with sessions still open.
//
// The harness loads it once and keeps it loaded (so the engine's dlclose
// leaves its state), hands each input with fakep11_load() and reads what it
// answered from fakep11_record().
#pragma once

#include <p11-kit/pkcs11.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fakep11 {

// A slot whose mechanism query succeeded, and the certificate values
// handed over on sessions of that slot afterwards.
struct SlotWalk {
    CK_SLOT_ID slot = 0;
    CK_FLAGS flags = 0;
    std::vector<std::string> certificates;
};

// What the module answered since the last fakep11_begin().
struct Record {
    bool initialized = false;     // between a successful C_Initialize and C_Finalize
    long openSessions = 0;        // opened and not yet closed
    std::vector<CK_RV> failures;  // every status other than CKR_OK it answered
    std::vector<SlotWalk> walks;
    std::vector<std::string> certificates;  // every certificate value handed over
    // The value of the certificate whose CKA_ID the key search used.
    std::string keyCertificate;
    // The last signature handed over whole (C_SignFinal with a buffer, CKR_OK,
    // a length within the room), the data signed and the mechanism.
    bool signatureDone = false;
    std::string signature;
    std::string signedData;
    CK_MECHANISM_TYPE mechanism = 0;
    // C_Logout answered CKR_OK after that signature.
    bool loggedOutAfterSignature = false;
};

}  // namespace fakep11

extern "C" {
// The certificates (DER) that object values are drawn from.
void fakep11_catalogue(const std::vector<std::string>* certificates);
// Answers from this input from now on (copied).
void fakep11_load(const uint8_t* data, size_t size);
// Starts a new record (the input goes on where it was).
void fakep11_begin(void);
const fakep11::Record* fakep11_record(void);
}
