// The status text table against PKCS#11's own names (p11-kit's header): every
// listed value has its name's text, the eight exceptions are written as the
// pages know them, and nothing else has a text.
#include <gtest/gtest.h>
#include <p11-kit/pkcs11.h>

#include <cctype>
#include <cstdio>
#include <map>
#include <set>
#include <string>

#include "sign/PKCS11Impl.h"

namespace {

struct Named {
    unsigned long status;
    const char* name;
};

#define NAMED(x) \
    { x, #x }
const Named kNamed[] = {
    NAMED(CKR_OK),
    NAMED(CKR_CANCEL),
    NAMED(CKR_HOST_MEMORY),
    NAMED(CKR_SLOT_ID_INVALID),
    NAMED(CKR_GENERAL_ERROR),
    NAMED(CKR_FUNCTION_FAILED),
    NAMED(CKR_ARGUMENTS_BAD),
    NAMED(CKR_NO_EVENT),
    NAMED(CKR_NEED_TO_CREATE_THREADS),
    NAMED(CKR_CANT_LOCK),
    NAMED(CKR_ATTRIBUTE_READ_ONLY),
    NAMED(CKR_ATTRIBUTE_SENSITIVE),
    NAMED(CKR_ATTRIBUTE_TYPE_INVALID),
    NAMED(CKR_ATTRIBUTE_VALUE_INVALID),
    NAMED(CKR_DATA_INVALID),
    NAMED(CKR_DATA_LEN_RANGE),
    NAMED(CKR_DEVICE_ERROR),
    NAMED(CKR_DEVICE_MEMORY),
    NAMED(CKR_DEVICE_REMOVED),
    NAMED(CKR_ENCRYPTED_DATA_INVALID),
    NAMED(CKR_ENCRYPTED_DATA_LEN_RANGE),
    NAMED(CKR_FUNCTION_CANCELED),
    NAMED(CKR_FUNCTION_NOT_PARALLEL),
    NAMED(CKR_FUNCTION_NOT_SUPPORTED),
    NAMED(CKR_KEY_HANDLE_INVALID),
    NAMED(CKR_KEY_SIZE_RANGE),
    NAMED(CKR_KEY_TYPE_INCONSISTENT),
    NAMED(CKR_KEY_NOT_NEEDED),
    NAMED(CKR_KEY_CHANGED),
    NAMED(CKR_KEY_NEEDED),
    NAMED(CKR_KEY_INDIGESTIBLE),
    NAMED(CKR_KEY_FUNCTION_NOT_PERMITTED),
    NAMED(CKR_KEY_NOT_WRAPPABLE),
    NAMED(CKR_KEY_UNEXTRACTABLE),
    NAMED(CKR_MECHANISM_INVALID),
    NAMED(CKR_MECHANISM_PARAM_INVALID),
    NAMED(CKR_OBJECT_HANDLE_INVALID),
    NAMED(CKR_OPERATION_ACTIVE),
    NAMED(CKR_OPERATION_NOT_INITIALIZED),
    NAMED(CKR_PIN_INCORRECT),
    NAMED(CKR_PIN_INVALID),
    NAMED(CKR_PIN_LEN_RANGE),
    NAMED(CKR_PIN_EXPIRED),
    NAMED(CKR_PIN_LOCKED),
    NAMED(CKR_SESSION_CLOSED),
    NAMED(CKR_SESSION_COUNT),
    NAMED(CKR_SESSION_HANDLE_INVALID),
    NAMED(CKR_SESSION_PARALLEL_NOT_SUPPORTED),
    NAMED(CKR_SESSION_READ_ONLY),
    NAMED(CKR_SESSION_EXISTS),
    NAMED(CKR_SESSION_READ_ONLY_EXISTS),
    NAMED(CKR_SESSION_READ_WRITE_SO_EXISTS),
    NAMED(CKR_SIGNATURE_INVALID),
    NAMED(CKR_SIGNATURE_LEN_RANGE),
    NAMED(CKR_TEMPLATE_INCOMPLETE),
    NAMED(CKR_TEMPLATE_INCONSISTENT),
    NAMED(CKR_TOKEN_NOT_PRESENT),
    NAMED(CKR_TOKEN_NOT_RECOGNIZED),
    NAMED(CKR_TOKEN_WRITE_PROTECTED),
    NAMED(CKR_UNWRAPPING_KEY_HANDLE_INVALID),
    NAMED(CKR_UNWRAPPING_KEY_SIZE_RANGE),
    NAMED(CKR_UNWRAPPING_KEY_TYPE_INCONSISTENT),
    NAMED(CKR_USER_ALREADY_LOGGED_IN),
    NAMED(CKR_USER_NOT_LOGGED_IN),
    NAMED(CKR_USER_PIN_NOT_INITIALIZED),
    NAMED(CKR_USER_TYPE_INVALID),
    NAMED(CKR_USER_ANOTHER_ALREADY_LOGGED_IN),
    NAMED(CKR_USER_TOO_MANY_TYPES),
    NAMED(CKR_WRAPPED_KEY_INVALID),
    NAMED(CKR_WRAPPED_KEY_LEN_RANGE),
    NAMED(CKR_WRAPPING_KEY_HANDLE_INVALID),
    NAMED(CKR_WRAPPING_KEY_SIZE_RANGE),
    NAMED(CKR_WRAPPING_KEY_TYPE_INCONSISTENT),
    NAMED(CKR_RANDOM_SEED_NOT_SUPPORTED),
    NAMED(CKR_RANDOM_NO_RNG),
    NAMED(CKR_DOMAIN_PARAMS_INVALID),
    NAMED(CKR_BUFFER_TOO_SMALL),
    NAMED(CKR_SAVED_STATE_INVALID),
    NAMED(CKR_INFORMATION_SENSITIVE),
    NAMED(CKR_STATE_UNSAVEABLE),
    NAMED(CKR_CRYPTOKI_NOT_INITIALIZED),
    NAMED(CKR_CRYPTOKI_ALREADY_INITIALIZED),
    NAMED(CKR_MUTEX_BAD),
    NAMED(CKR_MUTEX_NOT_LOCKED),
    NAMED(CKR_NEW_PIN_MODE),
    NAMED(CKR_NEXT_OTP),
    NAMED(CKR_FUNCTION_REJECTED),
    NAMED(CKR_VENDOR_DEFINED),
};
#undef NAMED

// Texts the pages know in their own spelling.
const std::map<unsigned long, std::string> kExceptions = {
    {0x0, "OK"},
    {0xA, "Can't lock"},
    {0x54, "Function not suppored"},
    {0xB8, "Session read write exists"},
    {0xE0, "Token not persent"},
    {0x105, "User to many types"},
    {0x121, "Random no range"},
    {0x191, "Cryptoki alrerady initialized"},
};

// "CKR_SLOT_ID_INVALID" -> "Slot id invalid".
std::string fromName(const std::string& name) {
    std::string text = name.substr(4);
    for (size_t i = 0; i < text.size(); ++i) {
        text[i] = text[i] == '_' ? ' ' : static_cast<char>(i == 0 ? text[i] : std::tolower(text[i]));
    }
    return text;
}

std::string code(unsigned long status) {
    char text[16];
    std::snprintf(text, sizeof text, "(0x%04X)", static_cast<unsigned>(status & 0xFFFFFFFFUL));
    return text;
}

TEST(StatusText, EveryStandardValueHasItsNameOrItsException) {
    ASSERT_EQ(std::size(kNamed), 88u);
    for (const Named& n : kNamed) {
        auto exception = kExceptions.find(n.status);
        const std::string word = exception != kExceptions.end() ? exception->second : fromName(n.name);
        EXPECT_EQ(PKCS11Impl::getPKCS11ErrorCode(n.status), word + code(n.status)) << n.name;
    }
}

TEST(StatusText, TheValuesWithATextAreExactlyTheListedRanges) {
    const std::pair<unsigned long, unsigned long> ranges[] = {
        {0x0, 0x3},     {0x5, 0xA},     {0x10, 0x13},   {0x20, 0x21},   {0x30, 0x32},   {0x40, 0x41},
        {0x50, 0x51},   {0x54, 0x54},   {0x60, 0x60},   {0x62, 0x6A},   {0x70, 0x71},   {0x82, 0x82},
        {0x90, 0x91},   {0xA0, 0xA4},   {0xB0, 0xB1},   {0xB3, 0xB8},   {0xC0, 0xC1},   {0xD0, 0xD1},
        {0xE0, 0xE2},   {0xF0, 0xF2},   {0x100, 0x105}, {0x110, 0x110}, {0x112, 0x115}, {0x120, 0x121},
        {0x130, 0x130}, {0x150, 0x150}, {0x160, 0x160}, {0x170, 0x170}, {0x180, 0x180}, {0x190, 0x191},
        {0x1A0, 0x1A1}, {0x1B0, 0x1B1}, {0x200, 0x200}};
    std::set<unsigned long> listed = {0x80000000UL};
    for (auto [first, last] : ranges) {
        for (unsigned long v = first; v <= last; ++v) listed.insert(v);
    }
    ASSERT_EQ(listed.size(), 88u);
    for (const Named& n : kNamed) EXPECT_EQ(listed.count(n.status), 1u) << n.name;

    for (unsigned long v = 0; v <= 0x400; ++v) {
        const bool unknown = PKCS11Impl::getPKCS11ErrorCode(v) == "Unknown error" + code(v);
        EXPECT_EQ(unknown, listed.count(v) == 0) << std::hex << v;
    }
}

TEST(StatusText, BeyondTheTableIsUnknownWithTheLow32Bits) {
    EXPECT_EQ(PKCS11Impl::getPKCS11ErrorCode(0xA0), "Pin incorrect(0x00A0)");
    EXPECT_EQ(PKCS11Impl::getPKCS11ErrorCode(0x4), "Unknown error(0x0004)");
    EXPECT_EQ(PKCS11Impl::getPKCS11ErrorCode(0x80000000UL), "Vendor defined(0x80000000)");
    EXPECT_EQ(PKCS11Impl::getPKCS11ErrorCode(0x80000001UL), "Unknown error(0x80000001)");
    EXPECT_EQ(PKCS11Impl::getPKCS11ErrorCode(0xFFFFFFFFUL), "Unknown error(0xFFFFFFFF)");
    EXPECT_EQ(PKCS11Impl::getPKCS11ErrorCode(0x1000000A0UL), "Unknown error(0x00A0)");
}

}  // namespace
