// Stand-in for the token maker's PKCS#11 module: forwards every call to
// SoftHSM2 and behaves as the key's module does where the suite relies on it
// (README.md in this folder lists the settings):
// - only initialised tokens are slots with a token (SoftHSM2's spare one is
//   hidden), in the order of their labels;
// - a login with an empty PIN asks the user through the PIN prompt library;
// - a signature shows the button-press countdown while the token works;
// - faults from QDPKCS11_FAULTS, counters in QDPKCS11_STATE.
#include <dlfcn.h>
#include <openssl/crypto.h>
#include <p11-kit/pkcs11.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "sim/pkcs11/counters.h"
#include "sim/pkcs11/faults.h"
#include "sim/pkcs11/prompt.h"

namespace {

using qdpkcs11::Counters;
using qdpkcs11::Faults;

// What hugelength= answers: more than any key holds, little enough for a
// caller that believes it to set aside (and a test to see it did).
constexpr CK_ULONG kHugeLength = 256UL << 20;

// Everything lives for one load of the module: the caller's dlclose ends it.
struct Module {
    void* softhsm = nullptr;
    CK_FUNCTION_LIST* real = nullptr;
    bool initialized = false;
    Faults faults;
    std::string faultError;
    bool removed = false;
    bool slotsRead = false;
    std::vector<std::pair<std::string, CK_SLOT_ID>> slots;  // label, slot
    std::string statePath;
    Counters counters;
    std::set<CK_SESSION_HANDLE> sessions;
    std::map<CK_SESSION_HANDLE, CK_SLOT_ID> sessionSlots;
    // Certificate searches served by the module itself (the certs= fault).
    std::map<CK_SESSION_HANDLE, std::vector<CK_OBJECT_HANDLE>> searches;
    std::map<CK_OBJECT_HANDLE, CK_OBJECT_HANDLE> copies;  // extra handle -> real certificate
    std::set<CK_OBJECT_HANDLE> handedOut;                 // every handle a search gave a caller
};

// Made at load and destroyed at the end of the unload hook, so the hook still
// has it (a function-local static could already be gone by then).
alignas(Module) unsigned char moduleStorage[sizeof(Module)];
Module* moduleInstance = nullptr;

Module& module() {
    if (moduleInstance == nullptr) moduleInstance = new (moduleStorage) Module;
    return *moduleInstance;
}

void saveCounters() {
    Module& m = module();
    if (!m.statePath.empty()) m.counters.save(m.statePath);
}

// Re-reads the fault plan; a plan that does not parse fails loudly.
bool readFaults() {
    Module& m = module();
    const char* text = std::getenv("QDPKCS11_FAULTS");
    m.faultError.clear();
    auto parsed = qdpkcs11::parseFaults(text ? text : "", &m.faultError);
    if (!parsed) {
        std::fprintf(stderr, "qdpkcs11: %s\n", m.faultError.c_str());
        m.faults = Faults{};
        return false;
    }
    m.faults = std::move(*parsed);
    return true;
}

__attribute__((constructor)) void onLoad() {
    Module& m = module();
    if (const char* path = std::getenv("QDPKCS11_STATE"); path && *path) m.statePath = path;
    if (m.statePath.empty()) return;
    m.counters.load(m.statePath);
    ++m.counters.loads;
    m.counters.loaded = 1;
    saveCounters();
}

__attribute__((destructor)) void onUnload() {
    Module& m = module();
    // A caller that never finalised leaves SoftHSM2 initialised and loaded
    // ("initialized 1" stays as the evidence): at process exit its own state
    // may already be gone, so it is not finalised here.
    if (m.softhsm && !m.initialized) dlclose(m.softhsm);
    if (!m.statePath.empty()) {
        ++m.counters.unloads;
        m.counters.loaded = 0;
        saveCounters();
    }
    m.~Module();
    moduleInstance = nullptr;
}

enum class Target { None, Slot, Session };

// Bookkeeping shared by every entry: counts the call for the fault plan,
// pulls the token out when the plan says so, and answers an injected status.
CK_RV enter(const char* name, Target target, const CK_ATTRIBUTE* firstAttribute = nullptr) {
    Module& m = module();
    if (!m.initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
    if (!m.faults.removeAt.empty() && m.faults.removeAt == name && !m.removed) {
        if (++m.faults.removeSeen == m.faults.removeNth) m.removed = true;
    }
    if (m.removed) {
        if (target == Target::Slot) return CKR_TOKEN_NOT_PRESENT;
        if (target == Target::Session) return CKR_DEVICE_REMOVED;
    }
    for (auto& fault : m.faults.statuses) {
        if (fault.function != name) continue;
        if (!fault.anyAttribute && (firstAttribute == nullptr || firstAttribute->type != fault.attribute))
            continue;
        ++fault.seen;
        if (fault.nth == 0 || fault.nth == fault.seen) return fault.status;
    }
    return CKR_OK;
}

std::string tokenLabel(CK_SLOT_ID slot) {
    CK_TOKEN_INFO info{};
    if (module().real->C_GetTokenInfo(slot, &info) != CKR_OK) return {};
    std::string label(reinterpret_cast<const char*>(info.label), sizeof info.label);
    label.erase(label.find_last_not_of(' ') + 1);
    return label;
}

// The slots a key would show: initialised tokens only, by label. Read once
// per initialisation, as a key's module knows its readers (SoftHSM2 reads its
// token files again for every C_GetTokenInfo).
CK_RV keySlots(std::vector<CK_SLOT_ID>* out) {
    Module& m = module();
    out->clear();
    if (m.removed) return CKR_OK;
    if (!m.slotsRead) {
        CK_ULONG count = 0;
        CK_RV rv = m.real->C_GetSlotList(CK_TRUE, nullptr, &count);
        if (rv != CKR_OK) return rv;
        std::vector<CK_SLOT_ID> all(count);
        rv = m.real->C_GetSlotList(CK_TRUE, all.data(), &count);
        if (rv != CKR_OK) return rv;
        all.resize(std::min<CK_ULONG>(count, all.size()));
        std::vector<std::pair<std::string, CK_SLOT_ID>> shown;
        for (CK_SLOT_ID slot : all) {
            CK_TOKEN_INFO info{};
            if (m.real->C_GetTokenInfo(slot, &info) == CKR_OK && (info.flags & CKF_TOKEN_INITIALIZED)) {
                shown.emplace_back(tokenLabel(slot), slot);
            }
        }
        std::sort(shown.begin(), shown.end());
        m.slots = std::move(shown);
        m.slotsRead = true;
    }
    for (const auto& [label, slot] : m.slots) out->push_back(slot);
    return CKR_OK;
}

std::string slotLabel(CK_SLOT_ID slot) {
    std::vector<CK_SLOT_ID> ignored;
    keySlots(&ignored);
    for (const auto& [label, shown] : module().slots) {
        if (shown == slot) return label;
    }
    return tokenLabel(slot);
}

// ---- generic forwarding ------------------------------------------------------

template <auto Member, Target T, const char* Name>
struct Forward;

template <typename... Args, CK_RV (*CK_FUNCTION_LIST::*Member)(Args...), Target T, const char* Name>
struct Forward<Member, T, Name> {
    static CK_RV call(Args... args) {
        if (CK_RV rv = enter(Name, T); rv != CKR_OK) return rv;
        return (module().real->*Member)(args...);
    }
};

// ---- entries with behaviour of their own ------------------------------------

CK_RV standIn_Initialize(CK_VOID_PTR args) {
    Module& m = module();
    if (m.initialized) return CKR_CRYPTOKI_ALREADY_INITIALIZED;
    if (!readFaults()) return CKR_ARGUMENTS_BAD;
    m.removed = false;
    m.slotsRead = false;
    // An injected CKR_CRYPTOKI_ALREADY_INITIALIZED means someone else in the
    // process initialised the module: it is initialised, and says so.
    CK_RV answer = CKR_OK;
    for (const auto& fault : m.faults.statuses) {
        if (fault.function == "C_Initialize" && (fault.nth == 0 || fault.nth == 1)) answer = fault.status;
    }
    if (answer != CKR_OK && answer != CKR_CRYPTOKI_ALREADY_INITIALIZED) return answer;
    if (m.real == nullptr) {
        const char* path = std::getenv("QD_SOFTHSM_MODULE");
        if (path == nullptr || *path == '\0') path = "/usr/lib/softhsm/libsofthsm2.so";
        m.softhsm = dlopen(path, RTLD_NOW | RTLD_LOCAL);
        if (m.softhsm == nullptr) {
            std::fprintf(stderr, "qdpkcs11: cannot load SoftHSM2: %s\n", dlerror());
            return CKR_GENERAL_ERROR;
        }
        auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(m.softhsm, "C_GetFunctionList"));
        if (getList == nullptr || getList(&m.real) != CKR_OK || m.real == nullptr) {
            std::fprintf(stderr, "qdpkcs11: %s is not a PKCS#11 module\n", path);
            dlclose(m.softhsm);
            m.softhsm = nullptr;
            m.real = nullptr;
            return CKR_GENERAL_ERROR;
        }
    }
    const CK_RV rv = m.real->C_Initialize(args);
    if (rv != CKR_OK) return rv;
    m.initialized = true;
    ++m.counters.initializations;
    m.counters.initialized = 1;
    saveCounters();
    return answer;
}

CK_RV standIn_Finalize(CK_VOID_PTR reserved) {
    Module& m = module();
    ++m.counters.finalizations;
    saveCounters();
    if (CK_RV rv = enter("C_Finalize", Target::None); rv != CKR_OK) return rv;
    const CK_RV rv = m.real->C_Finalize(reserved);
    m.initialized = false;
    m.searches.clear();
    m.copies.clear();
    m.handedOut.clear();
    m.sessions.clear();
    m.sessionSlots.clear();
    m.counters.initialized = 0;
    saveCounters();
    return rv;
}

CK_RV standIn_GetSlotList(CK_BBOOL /*tokenPresent*/, CK_SLOT_ID_PTR list, CK_ULONG_PTR count) {
    if (CK_RV rv = enter("C_GetSlotList", Target::None); rv != CKR_OK) return rv;
    if (count == nullptr) return CKR_ARGUMENTS_BAD;
    if (list == nullptr && module().faults.slotCount) {
        *count = *module().faults.slotCount;
        return CKR_OK;
    }
    std::vector<CK_SLOT_ID> slots;
    if (CK_RV rv = keySlots(&slots); rv != CKR_OK) return rv;
    if (list == nullptr) {
        *count = slots.size();
        return CKR_OK;
    }
    if (*count < slots.size()) {
        *count = slots.size();
        return CKR_BUFFER_TOO_SMALL;
    }
    std::copy(slots.begin(), slots.end(), list);
    *count = slots.size();
    return CKR_OK;
}

CK_RV standIn_GetMechanismInfo(CK_SLOT_ID slot, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR info) {
    Module& m = module();
    if (CK_RV rv = enter("C_GetMechanismInfo", Target::Slot); rv != CKR_OK) return rv;
    const CK_RV rv = m.real->C_GetMechanismInfo(slot, type, info);
    if (rv != CKR_OK || type != CKM_RSA_PKCS || info == nullptr) return rv;
    const std::string label = slotLabel(slot);
    auto listed = [&](const std::vector<std::string>& labels) {
        return std::find(labels.begin(), labels.end(), label) != labels.end();
    };
    if (listed(m.faults.noSign)) info->flags &= ~static_cast<CK_FLAGS>(CKF_SIGN);
    if (listed(m.faults.noVerify)) info->flags &= ~static_cast<CK_FLAGS>(CKF_VERIFY);
    return rv;
}

CK_RV standIn_OpenSession(CK_SLOT_ID slot, CK_FLAGS flags, CK_VOID_PTR application, CK_NOTIFY notify,
                          CK_SESSION_HANDLE_PTR session) {
    Module& m = module();
    if (CK_RV rv = enter("C_OpenSession", Target::Slot); rv != CKR_OK) return rv;
    const CK_RV rv = m.real->C_OpenSession(slot, flags, application, notify, session);
    if (rv == CKR_OK && session != nullptr) {
        m.sessions.insert(*session);
        m.sessionSlots[*session] = slot;
        ++m.counters.sessions_opened;
        saveCounters();
    }
    return rv;
}

void forgetSession(CK_SESSION_HANDLE session) {
    Module& m = module();
    m.searches.erase(session);
    m.sessionSlots.erase(session);
    if (m.sessions.erase(session) != 0) {
        ++m.counters.sessions_closed;
        saveCounters();
    }
}

CK_RV standIn_CloseSession(CK_SESSION_HANDLE session) {
    Module& m = module();
    if (CK_RV rv = enter("C_CloseSession", Target::None); rv != CKR_OK) return rv;
    // After a removal the session is gone on the key; the caller has let go of it.
    const CK_RV rv = m.real->C_CloseSession(session);
    const bool known = m.sessions.count(session) != 0;
    forgetSession(session);
    if (m.removed && known) return CKR_SESSION_HANDLE_INVALID;
    return rv;
}

CK_RV standIn_CloseAllSessions(CK_SLOT_ID slot) {
    Module& m = module();
    if (CK_RV rv = enter("C_CloseAllSessions", Target::Slot); rv != CKR_OK) return rv;
    const CK_RV rv = m.real->C_CloseAllSessions(slot);
    std::vector<CK_SESSION_HANDLE> closing;
    for (const auto& [session, owner] : m.sessionSlots) {
        if (owner == slot) closing.push_back(session);
    }
    for (CK_SESSION_HANDLE session : closing) forgetSession(session);
    return rv;
}

CK_RV standIn_Login(CK_SESSION_HANDLE session, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin, CK_ULONG length) {
    Module& m = module();
    if (m.initialized) {
        ++m.counters.logins;
        saveCounters();
    }
    if (CK_RV rv = enter("C_Login", Target::Session); rv != CKR_OK) return rv;
    if (user != CKU_USER || (pin != nullptr && length != 0))
        return m.real->C_Login(session, user, pin, length);
    // The key's own PIN dialogue.
    std::vector<unsigned char> typed;
    bool prompted = false;
    if (!qdpkcs11::collectPin(&typed, &prompted)) return CKR_FUNCTION_FAILED;
    if (prompted) {
        ++m.counters.pin_prompts;
        saveCounters();
    }
    const CK_RV rv = m.real->C_Login(session, user, typed.empty() ? nullptr : typed.data(), typed.size());
    OPENSSL_cleanse(typed.data(), typed.size());
    return rv;
}

CK_RV standIn_Logout(CK_SESSION_HANDLE session) {
    Module& m = module();
    if (m.initialized) {
        ++m.counters.logouts;
        saveCounters();
    }
    if (CK_RV rv = enter("C_Logout", Target::Session); rv != CKR_OK) return rv;
    return m.real->C_Logout(session);
}

bool searchesCertificates(CK_ATTRIBUTE_PTR templ, CK_ULONG count) {
    for (CK_ULONG i = 0; i < count; ++i) {
        if (templ[i].type == CKA_CLASS && templ[i].pValue != nullptr &&
            templ[i].ulValueLen == sizeof(CK_OBJECT_CLASS) &&
            *static_cast<CK_OBJECT_CLASS*>(templ[i].pValue) == CKO_CERTIFICATE) {
            return true;
        }
    }
    return false;
}

// An object's CKA_ID, empty when it has none. One read for the usual short
// IDs: every SoftHSM2 attribute read goes back to the object's file.
std::vector<CK_BYTE> objectId(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object) {
    std::vector<CK_BYTE> value(64);
    CK_ATTRIBUTE id{CKA_ID, value.data(), value.size()};
    CK_RV rv = module().real->C_GetAttributeValue(session, object, &id, 1);
    if (rv == CKR_BUFFER_TOO_SMALL) {
        id = {CKA_ID, nullptr, 0};
        rv = module().real->C_GetAttributeValue(session, object, &id, 1);
        if (rv == CKR_OK && id.ulValueLen != CK_UNAVAILABLE_INFORMATION) {
            value.resize(id.ulValueLen);
            id.pValue = value.data();
            rv = module().real->C_GetAttributeValue(session, object, &id, 1);
        }
    }
    if (rv != CKR_OK || id.ulValueLen == CK_UNAVAILABLE_INFORMATION) return {};
    value.resize(std::min<CK_ULONG>(id.ulValueLen, value.size()));
    return value;
}

// Searches are answered by the module itself, in the order of the objects'
// CKA_IDs: a key's module lists its objects in a fixed order, while SoftHSM2's
// order changes from one search to the next.
CK_RV standIn_FindObjectsInit(CK_SESSION_HANDLE session, CK_ATTRIBUTE_PTR templ, CK_ULONG count) {
    Module& m = module();
    if (CK_RV rv = enter("C_FindObjectsInit", Target::Session); rv != CKR_OK) return rv;
    if (m.searches.count(session) != 0) return CKR_OPERATION_ACTIVE;
    CK_RV rv = m.real->C_FindObjectsInit(session, templ, count);
    if (rv != CKR_OK) return rv;
    std::vector<CK_OBJECT_HANDLE> found;
    CK_OBJECT_HANDLE batch[32];
    CK_ULONG got = 0;
    while ((rv = m.real->C_FindObjects(session, batch, 32, &got)) == CKR_OK && got > 0) {
        found.insert(found.end(), batch, batch + got);
    }
    m.real->C_FindObjectsFinal(session);
    if (rv != CKR_OK) return rv;
    std::vector<std::pair<std::vector<CK_BYTE>, CK_OBJECT_HANDLE>> ordered;
    for (CK_OBJECT_HANDLE object : found) {
        ordered.emplace_back(found.size() > 1 ? objectId(session, object) : std::vector<CK_BYTE>(), object);
    }
    std::sort(ordered.begin(), ordered.end());
    std::vector<CK_OBJECT_HANDLE> shown;
    for (const auto& [id, object] : ordered) shown.push_back(object);
    // The certs= fault: as many certificate handles as asked, the real ones repeated.
    if (m.faults.certificates != 0 && searchesCertificates(templ, count) && !shown.empty()) {
        const std::vector<CK_OBJECT_HANDLE> real = shown;
        shown.clear();
        for (CK_ULONG i = 0; i < m.faults.certificates; ++i) {
            if (i < real.size()) {
                shown.push_back(real[i]);
            } else {
                const CK_OBJECT_HANDLE copy = 0x51000000UL + i;
                m.copies[copy] = real[i % real.size()];
                shown.push_back(copy);
            }
        }
    }
    m.searches[session] = std::move(shown);
    return CKR_OK;
}

CK_RV standIn_FindObjects(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE_PTR handles, CK_ULONG maximum,
                          CK_ULONG_PTR count) {
    Module& m = module();
    if (CK_RV rv = enter("C_FindObjects", Target::Session); rv != CKR_OK) return rv;
    auto search = m.searches.find(session);
    if (search == m.searches.end()) return CKR_OPERATION_NOT_INITIALIZED;
    if (count == nullptr || (handles == nullptr && maximum > 0)) return CKR_ARGUMENTS_BAD;
    auto& pending = search->second;
    const CK_ULONG n = std::min<CK_ULONG>(maximum, pending.size());
    std::copy(pending.begin(), pending.begin() + n, handles);
    m.handedOut.insert(pending.begin(), pending.begin() + n);
    pending.erase(pending.begin(), pending.begin() + n);
    // The overcount= fault: more counted than written (a module that counts
    // what it found, not what fitted).
    *count = n + m.faults.overCount;
    return CKR_OK;
}

CK_RV standIn_FindObjectsFinal(CK_SESSION_HANDLE session) {
    Module& m = module();
    if (CK_RV rv = enter("C_FindObjectsFinal", Target::Session); rv != CKR_OK) return rv;
    return m.searches.erase(session) != 0 ? CKR_OK : CKR_OPERATION_NOT_INITIALIZED;
}

CK_RV standIn_GetAttributeValue(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_PTR templ,
                                CK_ULONG count) {
    Module& m = module();
    const CK_ATTRIBUTE* first = (templ != nullptr && count > 0) ? templ : nullptr;
    if (CK_RV rv = enter("C_GetAttributeValue", Target::Session, first); rv != CKR_OK) return rv;
    if (m.handedOut.count(object) == 0) {
        ++m.counters.unknown_objects;
        saveCounters();
    }
    if (auto copy = m.copies.find(object); copy != m.copies.end()) object = copy->second;
    auto faulty = [&](const std::vector<CK_ATTRIBUTE_TYPE>& types) {
        return first != nullptr && std::find(types.begin(), types.end(), first->type) != types.end();
    };
    const bool lengthQuery = first != nullptr && first->pValue == nullptr;
    if (lengthQuery && faulty(m.faults.badLength)) {
        templ[0].ulValueLen = CK_UNAVAILABLE_INFORMATION;
        return CKR_OK;
    }
    if (lengthQuery && faulty(m.faults.hugeLength)) {
        templ[0].ulValueLen = kHugeLength;
        return CKR_OK;
    }
    const CK_ULONG room = first != nullptr ? first->ulValueLen : 0;
    const CK_RV rv = m.real->C_GetAttributeValue(session, object, templ, count);
    if (rv == CKR_OK && !lengthQuery && faulty(m.faults.overLength)) templ[0].ulValueLen = room + 1;
    return rv;
}

// The signature as the token gives it, with the longsig= bytes after it.
// `sign` is the token's own call for a buffer (null: size query).
template <typename SignFn>
CK_RV signature(SignFn sign, CK_BYTE_PTR out, CK_ULONG_PTR length) {
    Module& m = module();
    if (length == nullptr) return CKR_ARGUMENTS_BAD;
    const CK_ULONG extra = m.faults.longSignature;
    if (out == nullptr) {
        const CK_RV rv = sign(nullptr, length);
        if (rv == CKR_OK) *length = m.faults.hugeSignature ? kHugeLength : *length + extra;
        return rv;
    }
    const CK_ULONG room = *length;
    CK_RV rv = CKR_OK;
    bool shown = false;
    if (extra == 0) {
        rv = qdpkcs11::whileCountingDown([&] { return sign(out, length); }, &shown);
    } else {
        CK_ULONG realLength = 0;
        rv = sign(nullptr, &realLength);
        if (rv != CKR_OK) return rv;
        if (*length < realLength + extra) {
            *length = realLength + extra;
            return CKR_BUFFER_TOO_SMALL;
        }
        std::vector<CK_BYTE> real(realLength);
        rv = qdpkcs11::whileCountingDown([&] { return sign(real.data(), &realLength); }, &shown);
        if (rv == CKR_OK) {
            std::copy(real.begin(), real.begin() + realLength, out);
            std::fill(out + realLength, out + realLength + extra, 0xA5);
            *length = realLength + extra;
        }
    }
    if (shown) {
        ++m.counters.countdowns;
        saveCounters();
    }
    if (rv == CKR_OK && m.faults.overLongSignature) *length = room + 1;
    return rv;
}

CK_RV standIn_SignFinal(CK_SESSION_HANDLE session, CK_BYTE_PTR out, CK_ULONG_PTR length) {
    if (CK_RV rv = enter("C_SignFinal", Target::Session); rv != CKR_OK) return rv;
    return signature(
        [session](CK_BYTE_PTR buffer, CK_ULONG_PTR size) {
            return module().real->C_SignFinal(session, buffer, size);
        },
        out, length);
}

CK_RV standIn_Sign(CK_SESSION_HANDLE session, CK_BYTE_PTR data, CK_ULONG dataLength, CK_BYTE_PTR out,
                   CK_ULONG_PTR length) {
    if (CK_RV rv = enter("C_Sign", Target::Session); rv != CKR_OK) return rv;
    return signature(
        [&](CK_BYTE_PTR buffer, CK_ULONG_PTR size) {
            return module().real->C_Sign(session, data, dataLength, buffer, size);
        },
        out, length);
}

CK_RV standIn_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list);

#define QD_NAME(fn) constexpr char name_##fn[] = #fn;
#define QD_FORWARD(fn, target) list.fn = &Forward<&CK_FUNCTION_LIST::fn, Target::target, name_##fn>::call;

QD_NAME(C_GetInfo)
QD_NAME(C_GetSlotInfo)
QD_NAME(C_GetTokenInfo)
QD_NAME(C_GetMechanismList)
QD_NAME(C_InitToken)
QD_NAME(C_InitPIN)
QD_NAME(C_SetPIN)
QD_NAME(C_GetSessionInfo)
QD_NAME(C_GetOperationState)
QD_NAME(C_SetOperationState)
QD_NAME(C_CreateObject)
QD_NAME(C_CopyObject)
QD_NAME(C_DestroyObject)
QD_NAME(C_GetObjectSize)
QD_NAME(C_SetAttributeValue)
QD_NAME(C_EncryptInit)
QD_NAME(C_Encrypt)
QD_NAME(C_EncryptUpdate)
QD_NAME(C_EncryptFinal)
QD_NAME(C_DecryptInit)
QD_NAME(C_Decrypt)
QD_NAME(C_DecryptUpdate)
QD_NAME(C_DecryptFinal)
QD_NAME(C_DigestInit)
QD_NAME(C_Digest)
QD_NAME(C_DigestUpdate)
QD_NAME(C_DigestKey)
QD_NAME(C_DigestFinal)
QD_NAME(C_SignInit)
QD_NAME(C_SignUpdate)
QD_NAME(C_SignRecoverInit)
QD_NAME(C_SignRecover)
QD_NAME(C_VerifyInit)
QD_NAME(C_Verify)
QD_NAME(C_VerifyUpdate)
QD_NAME(C_VerifyFinal)
QD_NAME(C_VerifyRecoverInit)
QD_NAME(C_VerifyRecover)
QD_NAME(C_DigestEncryptUpdate)
QD_NAME(C_DecryptDigestUpdate)
QD_NAME(C_SignEncryptUpdate)
QD_NAME(C_DecryptVerifyUpdate)
QD_NAME(C_GenerateKey)
QD_NAME(C_GenerateKeyPair)
QD_NAME(C_WrapKey)
QD_NAME(C_UnwrapKey)
QD_NAME(C_DeriveKey)
QD_NAME(C_SeedRandom)
QD_NAME(C_GenerateRandom)
QD_NAME(C_GetFunctionStatus)
QD_NAME(C_CancelFunction)
QD_NAME(C_WaitForSlotEvent)

CK_FUNCTION_LIST makeFunctionList() {
    CK_FUNCTION_LIST list{};
    list.version = {2, 20};
    list.C_Initialize = &standIn_Initialize;
    list.C_Finalize = &standIn_Finalize;
    list.C_GetFunctionList = &standIn_GetFunctionList;
    list.C_GetSlotList = &standIn_GetSlotList;
    list.C_GetMechanismInfo = &standIn_GetMechanismInfo;
    list.C_OpenSession = &standIn_OpenSession;
    list.C_CloseSession = &standIn_CloseSession;
    list.C_CloseAllSessions = &standIn_CloseAllSessions;
    list.C_Login = &standIn_Login;
    list.C_Logout = &standIn_Logout;
    list.C_FindObjectsInit = &standIn_FindObjectsInit;
    list.C_FindObjects = &standIn_FindObjects;
    list.C_FindObjectsFinal = &standIn_FindObjectsFinal;
    list.C_GetAttributeValue = &standIn_GetAttributeValue;
    list.C_Sign = &standIn_Sign;
    list.C_SignFinal = &standIn_SignFinal;
    QD_FORWARD(C_GetInfo, None)
    QD_FORWARD(C_GetSlotInfo, Slot)
    QD_FORWARD(C_GetTokenInfo, Slot)
    QD_FORWARD(C_GetMechanismList, Slot)
    QD_FORWARD(C_InitToken, Slot)
    QD_FORWARD(C_InitPIN, Session)
    QD_FORWARD(C_SetPIN, Session)
    QD_FORWARD(C_GetSessionInfo, Session)
    QD_FORWARD(C_GetOperationState, Session)
    QD_FORWARD(C_SetOperationState, Session)
    QD_FORWARD(C_CreateObject, Session)
    QD_FORWARD(C_CopyObject, Session)
    QD_FORWARD(C_DestroyObject, Session)
    QD_FORWARD(C_GetObjectSize, Session)
    QD_FORWARD(C_SetAttributeValue, Session)
    QD_FORWARD(C_EncryptInit, Session)
    QD_FORWARD(C_Encrypt, Session)
    QD_FORWARD(C_EncryptUpdate, Session)
    QD_FORWARD(C_EncryptFinal, Session)
    QD_FORWARD(C_DecryptInit, Session)
    QD_FORWARD(C_Decrypt, Session)
    QD_FORWARD(C_DecryptUpdate, Session)
    QD_FORWARD(C_DecryptFinal, Session)
    QD_FORWARD(C_DigestInit, Session)
    QD_FORWARD(C_Digest, Session)
    QD_FORWARD(C_DigestUpdate, Session)
    QD_FORWARD(C_DigestKey, Session)
    QD_FORWARD(C_DigestFinal, Session)
    QD_FORWARD(C_SignInit, Session)
    QD_FORWARD(C_SignUpdate, Session)
    QD_FORWARD(C_SignRecoverInit, Session)
    QD_FORWARD(C_SignRecover, Session)
    QD_FORWARD(C_VerifyInit, Session)
    QD_FORWARD(C_Verify, Session)
    QD_FORWARD(C_VerifyUpdate, Session)
    QD_FORWARD(C_VerifyFinal, Session)
    QD_FORWARD(C_VerifyRecoverInit, Session)
    QD_FORWARD(C_VerifyRecover, Session)
    QD_FORWARD(C_DigestEncryptUpdate, Session)
    QD_FORWARD(C_DecryptDigestUpdate, Session)
    QD_FORWARD(C_SignEncryptUpdate, Session)
    QD_FORWARD(C_DecryptVerifyUpdate, Session)
    QD_FORWARD(C_GenerateKey, Session)
    QD_FORWARD(C_GenerateKeyPair, Session)
    QD_FORWARD(C_WrapKey, Session)
    QD_FORWARD(C_UnwrapKey, Session)
    QD_FORWARD(C_DeriveKey, Session)
    QD_FORWARD(C_SeedRandom, Session)
    QD_FORWARD(C_GenerateRandom, Session)
    QD_FORWARD(C_GetFunctionStatus, Session)
    QD_FORWARD(C_CancelFunction, Session)
    QD_FORWARD(C_WaitForSlotEvent, None)
    return list;
}

CK_FUNCTION_LIST functionList = makeFunctionList();

CK_RV standIn_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
    if (list == nullptr) return CKR_ARGUMENTS_BAD;
    // The plan is read here too: a failing C_GetFunctionList is one of its faults.
    if (!readFaults()) return CKR_GENERAL_ERROR;
    for (const auto& fault : module().faults.statuses) {
        if (fault.function == "C_GetFunctionList") return fault.status;
    }
    if (module().faults.nullFunctionList) {
        *list = nullptr;
        return CKR_OK;
    }
    *list = &functionList;
    return CKR_OK;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
    return standIn_GetFunctionList(list);
}
