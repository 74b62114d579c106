// The readable text of a PKCS#11 status, for the engine's last error text.
// One table: pages read these texts, so they stay exactly as written, the
// misspelt ones included.
#include <cstdio>

#include "sign/PKCS11Impl.h"

namespace {

struct StatusText {
    unsigned long status;
    const char* text;
};

// Every return value of PKCS#11 from CKR_OK to CKR_FUNCTION_REJECTED, and
// CKR_VENDOR_DEFINED, in ascending order.
constexpr StatusText kStatusTexts[] = {
    {0x000, "OK"},
    {0x001, "Cancel"},
    {0x002, "Host memory"},
    {0x003, "Slot id invalid"},
    {0x005, "General error"},
    {0x006, "Function failed"},
    {0x007, "Arguments bad"},
    {0x008, "No event"},
    {0x009, "Need to create threads"},
    {0x00A, "Can't lock"},
    {0x010, "Attribute read only"},
    {0x011, "Attribute sensitive"},
    {0x012, "Attribute type invalid"},
    {0x013, "Attribute value invalid"},
    {0x020, "Data invalid"},
    {0x021, "Data len range"},
    {0x030, "Device error"},
    {0x031, "Device memory"},
    {0x032, "Device removed"},
    {0x040, "Encrypted data invalid"},
    {0x041, "Encrypted data len range"},
    {0x050, "Function canceled"},
    {0x051, "Function not parallel"},
    {0x054, "Function not suppored"},
    {0x060, "Key handle invalid"},
    {0x062, "Key size range"},
    {0x063, "Key type inconsistent"},
    {0x064, "Key not needed"},
    {0x065, "Key changed"},
    {0x066, "Key needed"},
    {0x067, "Key indigestible"},
    {0x068, "Key function not permitted"},
    {0x069, "Key not wrappable"},
    {0x06A, "Key unextractable"},
    {0x070, "Mechanism invalid"},
    {0x071, "Mechanism param invalid"},
    {0x082, "Object handle invalid"},
    {0x090, "Operation active"},
    {0x091, "Operation not initialized"},
    {0x0A0, "Pin incorrect"},
    {0x0A1, "Pin invalid"},
    {0x0A2, "Pin len range"},
    {0x0A3, "Pin expired"},
    {0x0A4, "Pin locked"},
    {0x0B0, "Session closed"},
    {0x0B1, "Session count"},
    {0x0B3, "Session handle invalid"},
    {0x0B4, "Session parallel not supported"},
    {0x0B5, "Session read only"},
    {0x0B6, "Session exists"},
    {0x0B7, "Session read only exists"},
    {0x0B8, "Session read write exists"},
    {0x0C0, "Signature invalid"},
    {0x0C1, "Signature len range"},
    {0x0D0, "Template incomplete"},
    {0x0D1, "Template inconsistent"},
    {0x0E0, "Token not persent"},
    {0x0E1, "Token not recognized"},
    {0x0E2, "Token write protected"},
    {0x0F0, "Unwrapping key handle invalid"},
    {0x0F1, "Unwrapping key size range"},
    {0x0F2, "Unwrapping key type inconsistent"},
    {0x100, "User already logged in"},
    {0x101, "User not logged in"},
    {0x102, "User pin not initialized"},
    {0x103, "User type invalid"},
    {0x104, "User another already logged in"},
    {0x105, "User to many types"},
    {0x110, "Wrapped key invalid"},
    {0x112, "Wrapped key len range"},
    {0x113, "Wrapping key handle invalid"},
    {0x114, "Wrapping key size range"},
    {0x115, "Wrapping key type inconsistent"},
    {0x120, "Random seed not supported"},
    {0x121, "Random no range"},
    {0x130, "Domain params invalid"},
    {0x150, "Buffer too small"},
    {0x160, "Saved state invalid"},
    {0x170, "Information sensitive"},
    {0x180, "State unsaveable"},
    {0x190, "Cryptoki not initialized"},
    {0x191, "Cryptoki alrerady initialized"},
    {0x1A0, "Mutex bad"},
    {0x1A1, "Mutex not locked"},
    {0x1B0, "New pin mode"},
    {0x1B1, "Next otp"},
    {0x200, "Function rejected"},
    {0x80000000, "Vendor defined"},
};

}  // namespace

std::string PKCS11Impl::getPKCS11ErrorCode(unsigned long status) {
    const char* text = "Unknown error";
    for (const StatusText& entry : kStatusTexts) {
        if (entry.status == status) {
            text = entry.text;
            break;
        }
    }
    char code[16];
    std::snprintf(code, sizeof code, "(0x%04X)", static_cast<unsigned>(status & 0xFFFFFFFFUL));
    return std::string(text) + code;
}
