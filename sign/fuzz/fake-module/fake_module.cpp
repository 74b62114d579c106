#pragma GCC visibility push(default)
#include "fake_module.h"
#pragma GCC visibility pop

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "fuzz/fuzz_input.h"

namespace {

struct Object {
    bool certificate = false;
    std::string value;
    std::string id;
    std::string given;  // the value as the caller last received it
};

struct Session {
    CK_SLOT_ID slot = 0;
    bool finding = false;
    std::vector<CK_OBJECT_HANDLE> results;  // of the search under way
    bool signing = false;
    std::string data;
};

struct State {
    fuzz::KeptInput in;
    std::vector<std::string> catalogue;
    std::vector<CK_SLOT_ID> slots;  // the last list handed over
    CK_ULONG slotCount = 0;         // the count the last length query gave
    std::map<CK_SESSION_HANDLE, Session> sessions;
    std::map<CK_OBJECT_HANDLE, Object> objects;          // every object handed out
    std::map<std::string, std::string> certificateById;  // IDs handed over
    CK_SESSION_HANDLE nextSession = 1;
    CK_OBJECT_HANDLE nextObject = 1000;
    fakep11::Record record;
};

State& state() {
    static State s;
    return s;
}

fuzz::Input& in() { return state().in; }

void require(bool ok) { fuzz::require(ok); }

// Reads the last byte of a room the caller claims to have.
void touch(const void* room, CK_ULONG size) {
    if (room == nullptr || size == 0) return;
    const volatile unsigned char* p = static_cast<const volatile unsigned char*>(room);
    (void)p[size - 1];
}

CK_RV answer(CK_RV rv) {
    if (rv != CKR_OK) state().record.failures.push_back(rv);
    return rv;
}

// A status: mostly CKR_OK, else a usual failure or any value.
CK_RV status() {
    const uint8_t b = in().byte();
    if (b < 200) return CKR_OK;
    if (b < 215) return in().u32();
    static const CK_RV kUsual[] = {CKR_GENERAL_ERROR,          CKR_DEVICE_REMOVED,    CKR_BUFFER_TOO_SMALL,
                                   CKR_PIN_INCORRECT,          CKR_FUNCTION_CANCELED, CKR_TOKEN_NOT_PRESENT,
                                   CKR_SESSION_HANDLE_INVALID, CKR_VENDOR_DEFINED + 1};
    return kUsual[b % 8];
}

// A length to report for content of `size` bytes: mostly the truth, else
// one more, zero, one less, any 32-bit value or "unavailable".
CK_ULONG reported(CK_ULONG size) {
    const uint8_t b = in().byte();
    if (b < 200) return size;
    switch (b % 6) {
        case 0:
            return size + 1;
        case 1:
            return 0;
        case 2:
            return size > 0 ? size - 1 : 0;
        case 3:
            return in().u32() % 70000;
        case 4:
            return in().u32();
        default:
            return CK_UNAVAILABLE_INFORMATION;
    }
}

Session& session(CK_SESSION_HANDLE handle) {
    require(state().record.initialized);
    auto it = state().sessions.find(handle);
    require(it != state().sessions.end());
    return it->second;
}

bool listedSlot(CK_SLOT_ID slot) {
    const auto& slots = state().slots;
    return std::find(slots.begin(), slots.end(), slot) != slots.end();
}

// A certificate value: a catalogue entry whole, with a byte changed, cut
// short, or any bytes.
std::string certificateValue() {
    const auto& catalogue = state().catalogue;
    const uint8_t b = in().byte();
    if (catalogue.empty() || (b >> 6) == 3) return in().bytes(4096);
    std::string value = catalogue[b % catalogue.size()];
    switch (b >> 6) {
        case 1: {
            const uint32_t at = in().below(static_cast<uint32_t>(value.size()));
            value[at] = static_cast<char>(value[at] ^ (in().byte() | 1));
            break;
        }
        case 2:
            value.resize(in().below(static_cast<uint32_t>(value.size())));
            break;
        default:
            break;
    }
    return value;
}

const CK_ATTRIBUTE* attribute(const CK_ATTRIBUTE* templ, CK_ULONG count, CK_ATTRIBUTE_TYPE type) {
    for (CK_ULONG i = 0; i < count; ++i)
        if (templ[i].type == type) return &templ[i];
    return nullptr;
}

// ---- the functions -------------------------------------------------------------

CK_RV initialize(void* args) {
    State& s = state();
    require(!s.record.initialized && args == nullptr);
    const uint8_t b = in().byte();
    const CK_RV rv = b < 200 ? CKR_OK : b < 215 ? CKR_CRYPTOKI_ALREADY_INITIALIZED : status();
    // "Already initialized" leaves it initialised: it must be finalised as well.
    if (rv == CKR_OK || rv == CKR_CRYPTOKI_ALREADY_INITIALIZED) s.record.initialized = true;
    return answer(rv);
}

CK_RV finalize(void* args) {
    State& s = state();
    require(s.record.initialized && args == nullptr);
    // Every session is closed before the module is let go.
    require(s.sessions.empty());
    s.record.initialized = false;
    s.slots.clear();
    return answer(status());
}

CK_RV getSlotList(CK_BBOOL present, CK_SLOT_ID_PTR list, CK_ULONG_PTR count) {
    State& s = state();
    require(s.record.initialized && count != nullptr && present == CK_TRUE);
    const CK_ULONG room = *count;
    if (list != nullptr) touch(list, room * sizeof(CK_SLOT_ID));
    const CK_RV rv = status();
    if (rv != CKR_OK) return answer(rv);
    if (list == nullptr) {
        s.slotCount = (in().byte() + 1u) % 9;  // mostly one slot
        *count = reported(s.slotCount);
        return CKR_OK;
    }
    const CK_ULONG n = s.slotCount;
    const CK_ULONG written = std::min(n, room);
    s.slots.clear();
    for (CK_ULONG i = 0; i < written; ++i) {
        list[i] = in().byte() % 5;
        s.slots.push_back(list[i]);
    }
    *count = reported(n);
    // A count that claims more than was written makes the caller's own
    // entries (its zero fill) slots this module answered: the caller cannot
    // tell them apart, so using them is no fault of its own.
    for (CK_ULONG i = written; i < std::min(*count, room); ++i) s.slots.push_back(list[i]);
    return answer(n > room ? CKR_BUFFER_TOO_SMALL : CKR_OK);
}

CK_RV getMechanismInfo(CK_SLOT_ID slot, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR info) {
    State& s = state();
    require(s.record.initialized && listedSlot(slot) && type == CKM_RSA_PKCS && info != nullptr);
    const CK_RV rv = status();
    if (rv != CKR_OK) return answer(rv);
    const uint8_t b = in().byte();
    info->ulMinKeySize = 1024;
    info->ulMaxKeySize = 4096;
    info->flags = b < 200 ? (CKF_HW | CKF_SIGN | CKF_VERIFY) : in().u32();
    s.record.walks.push_back({slot, info->flags, {}});
    return CKR_OK;
}

CK_RV openSession(CK_SLOT_ID slot, CK_FLAGS flags, void*, CK_NOTIFY, CK_SESSION_HANDLE_PTR handle) {
    State& s = state();
    require(s.record.initialized && listedSlot(slot) && (flags & CKF_SERIAL_SESSION) && handle != nullptr);
    const CK_RV rv = status();
    if (rv != CKR_OK) return answer(rv);
    *handle = s.nextSession++;
    s.sessions[*handle].slot = slot;
    s.record.openSessions += 1;
    return CKR_OK;
}

CK_RV closeSession(CK_SESSION_HANDLE handle) {
    State& s = state();
    session(handle);  // a session never opened, or closed twice, stops here
    s.sessions.erase(handle);
    s.record.openSessions -= 1;
    return answer(status());
}

CK_RV findObjectsInit(CK_SESSION_HANDLE handle, CK_ATTRIBUTE_PTR templ, CK_ULONG count) {
    State& s = state();
    Session& session = ::session(handle);
    require(!session.finding && templ != nullptr && count > 0);
    for (CK_ULONG i = 0; i < count; ++i) touch(templ[i].pValue, templ[i].ulValueLen);
    const CK_ATTRIBUTE* objectClass = attribute(templ, count, CKA_CLASS);
    require(objectClass != nullptr && objectClass->pValue != nullptr &&
            objectClass->ulValueLen == sizeof(CK_OBJECT_CLASS));
    const CK_OBJECT_CLASS wanted = *static_cast<const CK_OBJECT_CLASS*>(objectClass->pValue);
    const bool certificates = wanted == CKO_CERTIFICATE;
    std::string certificate;
    if (!certificates) {
        // A key is searched by the ID of a certificate the module handed over.
        require(wanted == CKO_PRIVATE_KEY);
        const CK_ATTRIBUTE* id = attribute(templ, count, CKA_ID);
        require(id != nullptr && (id->pValue != nullptr || id->ulValueLen == 0));
        const std::string value(static_cast<const char*>(id->pValue), id->ulValueLen);
        const auto known = s.certificateById.find(value);
        require(known != s.certificateById.end());
        certificate = known->second;
    }
    const CK_RV rv = status();
    if (rv != CKR_OK) return answer(rv);
    if (!certificates) s.record.keyCertificate = certificate;
    session.finding = true;
    session.results.clear();
    // Mostly one; up to 69 certificates (more than a caller's usual room).
    const size_t n = (in().byte() + 1u) % (certificates ? 70 : 3);
    for (size_t i = 0; i < n; ++i) {
        Object object;
        object.certificate = certificates;
        if (certificates) {
            object.value = certificateValue();
            object.id = in().bytes(40);
        }
        s.objects[s.nextObject] = object;
        session.results.push_back(s.nextObject++);
    }
    return CKR_OK;
}

CK_RV findObjects(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE_PTR objects, CK_ULONG room, CK_ULONG_PTR found) {
    Session& session = ::session(handle);
    require(session.finding && found != nullptr && (objects != nullptr || room == 0));
    touch(objects, room * sizeof(CK_OBJECT_HANDLE));
    const CK_RV rv = status();
    if (rv != CKR_OK) return answer(rv);
    const CK_ULONG written = std::min<CK_ULONG>(session.results.size(), room);
    std::copy_n(session.results.begin(), written, objects);
    // A module may count everything it found, not only what fitted.
    *found = in().byte() < 220 ? written : session.results.size();
    return CKR_OK;
}

CK_RV findObjectsFinal(CK_SESSION_HANDLE handle) {
    Session& session = ::session(handle);
    require(session.finding);
    session.finding = false;
    return answer(status());
}

CK_RV getAttributeValue(CK_SESSION_HANDLE handle, CK_OBJECT_HANDLE objectHandle, CK_ATTRIBUTE_PTR templ,
                        CK_ULONG count) {
    State& s = state();
    ::session(handle);
    const auto it = s.objects.find(objectHandle);
    require(it != s.objects.end() && templ != nullptr && count == 1);
    Object& object = it->second;
    CK_ATTRIBUTE& a = templ[0];
    // Only certificates are read: their value and their ID.
    require(object.certificate && (a.type == CKA_VALUE || a.type == CKA_ID));
    const std::string& content = a.type == CKA_VALUE ? object.value : object.id;
    if (a.pValue != nullptr) touch(a.pValue, a.ulValueLen);
    const CK_RV rv = status();
    if (rv != CKR_OK) return answer(rv);
    if (a.pValue == nullptr) {
        a.ulValueLen = reported(content.size());
        // An ID said to be empty is read as it is: nothing more to ask.
        if (a.type == CKA_ID && a.ulValueLen == 0) s.certificateById[""] = object.given;
        return CKR_OK;
    }
    const CK_ULONG room = a.ulValueLen;
    std::memcpy(a.pValue, content.data(), std::min<CK_ULONG>(content.size(), room));
    a.ulValueLen = reported(content.size());
    if (content.size() > room && a.ulValueLen == content.size()) return answer(CKR_BUFFER_TOO_SMALL);
    if (a.ulValueLen <= room) {
        const std::string given(static_cast<const char*>(a.pValue), a.ulValueLen);
        if (a.type == CKA_ID) {
            s.certificateById[given] = object.given;
        } else {
            object.given = given;
            s.record.certificates.push_back(given);
            const CK_SLOT_ID slot = s.sessions[handle].slot;
            for (auto walk = s.record.walks.rbegin(); walk != s.record.walks.rend(); ++walk) {
                if (walk->slot == slot) {
                    walk->certificates.push_back(given);
                    break;
                }
            }
        }
    }
    return CKR_OK;
}

CK_RV login(CK_SESSION_HANDLE handle, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin, CK_ULONG length) {
    ::session(handle);
    require(user == CKU_USER && pin == nullptr && length == 0);
    return answer(status());
}

CK_RV logout(CK_SESSION_HANDLE handle) {
    ::session(handle);
    const CK_RV rv = status();
    if (state().record.signatureDone) state().record.loggedOutAfterSignature = rv == CKR_OK;
    return answer(rv);
}

CK_RV signInit(CK_SESSION_HANDLE handle, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key) {
    State& s = state();
    Session& session = ::session(handle);
    require(!session.signing && mechanism != nullptr && mechanism->pParameter == nullptr);
    const auto it = s.objects.find(key);
    require(it != s.objects.end() && !it->second.certificate);
    s.record.mechanism = mechanism->mechanism;
    const CK_RV rv = status();
    if (rv != CKR_OK) return answer(rv);
    session.signing = true;
    session.data.clear();
    return CKR_OK;
}

CK_RV signUpdate(CK_SESSION_HANDLE handle, CK_BYTE_PTR part, CK_ULONG length) {
    Session& session = ::session(handle);
    require(session.signing && (part != nullptr || length == 0));
    session.data.append(reinterpret_cast<const char*>(part), length);
    const CK_RV rv = status();
    if (rv != CKR_OK) session.signing = false;  // a failed step ends the operation
    return answer(rv);
}

CK_RV signFinal(CK_SESSION_HANDLE handle, CK_BYTE_PTR signature, CK_ULONG_PTR length) {
    State& s = state();
    Session& session = ::session(handle);
    require(session.signing && length != nullptr);
    const CK_ULONG room = *length;
    if (signature != nullptr) touch(signature, room);
    const CK_RV rv = status();
    if (rv != CKR_OK) {
        session.signing = false;
        return answer(rv);
    }
    static std::string pending;
    if (signature == nullptr) {
        pending = in().bytes(1100);
        if (pending.empty()) pending.assign(128, '\x5A');
        *length = reported(pending.size());
        return CKR_OK;
    }
    std::memcpy(signature, pending.data(), std::min<CK_ULONG>(pending.size(), room));
    *length = reported(pending.size());
    if (pending.size() > room && *length == pending.size()) return answer(CKR_BUFFER_TOO_SMALL);
    session.signing = false;
    if (*length <= room) {
        s.record.signatureDone = true;
        s.record.loggedOutAfterSignature = false;
        s.record.signature.assign(reinterpret_cast<const char*>(signature), *length);
        s.record.signedData = session.data;
    }
    return CKR_OK;
}

CK_FUNCTION_LIST functionList() {
    CK_FUNCTION_LIST list{};
    list.version = {2, 40};
    list.C_Initialize = initialize;
    list.C_Finalize = finalize;
    list.C_GetSlotList = getSlotList;
    list.C_GetMechanismInfo = getMechanismInfo;
    list.C_OpenSession = openSession;
    list.C_CloseSession = closeSession;
    list.C_FindObjectsInit = findObjectsInit;
    list.C_FindObjects = findObjects;
    list.C_FindObjectsFinal = findObjectsFinal;
    list.C_GetAttributeValue = getAttributeValue;
    list.C_Login = login;
    list.C_Logout = logout;
    list.C_SignInit = signInit;
    list.C_SignUpdate = signUpdate;
    list.C_SignFinal = signFinal;
    // Everything else stays null: the engine has no business calling it.
    return list;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
    static CK_FUNCTION_LIST table = functionList();
    require(list != nullptr);
    const uint8_t b = in().byte();
    if (b < 220) {
        *list = &table;
        return CKR_OK;
    }
    if (b < 235) {
        *list = nullptr;  // "OK" without a list
        return CKR_OK;
    }
    return answer(b % 2 ? CKR_GENERAL_ERROR : CKR_HOST_MEMORY);
}

void fakep11_catalogue(const std::vector<std::string>* certificates) { state().catalogue = *certificates; }

void fakep11_load(const uint8_t* data, size_t size) {
    State& s = state();
    s.in.load(data, size);
    s.sessions.clear();
    s.objects.clear();
    s.slots.clear();
    s.record = {};
}

void fakep11_begin(void) {
    State& s = state();
    s.certificateById.clear();
    const bool initialized = s.record.initialized;
    const long open = s.record.openSessions;
    s.record = {};
    s.record.initialized = initialized;
    s.record.openSessions = open;
}

const fakep11::Record* fakep11_record(void) { return &state().record; }

}  // extern "C"
