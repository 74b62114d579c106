// The stand-in module itself, where the suite's tests lean on it: which slots
// it shows, what it does with a PIN it is given, what it counts, and which
// fault plans it refuses.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/pkcs11/faults.h"
#include "sim/pkcs11/testing.h"

namespace {

using namespace qdpkcs11::testing;

// The module loaded by hand, as a PKCS#11 client would.
class Module {
public:
    Module() : handle_(dlopen(standInPath().c_str(), RTLD_NOW)) {
        auto get =
            handle_ ? reinterpret_cast<CK_C_GetFunctionList>(dlsym(handle_, "C_GetFunctionList")) : nullptr;
        if (get) getListRv_ = get(&p11_);
    }
    ~Module() {
        if (handle_) dlclose(handle_);
    }
    CK_FUNCTION_LIST* operator->() const { return p11_; }
    CK_RV getListRv() const { return getListRv_; }

    std::vector<CK_SLOT_ID> slots() const {
        CK_ULONG count = 0;
        p11_->C_GetSlotList(CK_TRUE, nullptr, &count);
        std::vector<CK_SLOT_ID> list(count);
        p11_->C_GetSlotList(CK_TRUE, list.data(), &count);
        list.resize(count);
        return list;
    }
    std::string label(CK_SLOT_ID slot) const {
        CK_TOKEN_INFO info{};
        p11_->C_GetTokenInfo(slot, &info);
        std::string text(reinterpret_cast<char*>(info.label), sizeof info.label);
        return text.erase(text.find_last_not_of(' ') + 1);
    }

private:
    void* handle_;
    CK_FUNCTION_LIST* p11_ = nullptr;
    CK_RV getListRv_ = CKR_GENERAL_ERROR;
};

CK_UTF8CHAR_PTR pin(const char* text) { return reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(text)); }

TEST(StandIn, ShowsOnlyInitialisedTokensInLabelOrder) {
    StandIn standIn(Tokens::get().two());
    Module m;
    ASSERT_EQ(m->C_Initialize(nullptr), CKR_OK);
    EXPECT_EQ(m->C_Initialize(nullptr), CKR_CRYPTOKI_ALREADY_INITIALIZED);
    const auto slots = m.slots();
    ASSERT_EQ(slots.size(), 2u);  // SoftHSM2's spare token is not one of them
    EXPECT_EQ(m.label(slots[0]), "QD Key A");
    EXPECT_EQ(m.label(slots[1]), "QD Key B");
    CK_SLOT_ID one[1];
    CK_ULONG count = 1;
    EXPECT_EQ(m->C_GetSlotList(CK_TRUE, one, &count), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(m->C_Finalize(nullptr), CKR_OK);
}

TEST(StandIn, AGivenPinGoesToTheTokenAndOnlyAnEmptyOneIsCollected) {
    StandIn standIn(Tokens::get().one());  // QDPKCS11_TEST_PIN is the right PIN
    Module m;
    ASSERT_EQ(m->C_Initialize(nullptr), CKR_OK);
    CK_SESSION_HANDLE session = 0;
    ASSERT_EQ(
        m->C_OpenSession(m.slots().at(0), CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &session),
        CKR_OK);
    EXPECT_EQ(m->C_Login(session, CKU_USER, pin("99999999"), 8), CKR_PIN_INCORRECT);
    EXPECT_EQ(m->C_Login(session, CKU_USER, pin("12345678"), 8), CKR_OK);
    EXPECT_EQ(m->C_Logout(session), CKR_OK);
    EXPECT_EQ(m->C_Login(session, CKU_USER, nullptr, 0), CKR_OK);
    EXPECT_EQ(m->C_Login(session, CKU_USER, nullptr, 0), CKR_USER_ALREADY_LOGGED_IN);
    EXPECT_EQ(standIn.counter("logins"), 4);
    EXPECT_EQ(standIn.counter("pin_prompts"), 0);  // the test PIN asks nobody
    EXPECT_EQ(m->C_CloseSession(session), CKR_OK);
    EXPECT_EQ(m->C_Finalize(nullptr), CKR_OK);
}

TEST(StandIn, CountsOnlySessionsThatOpenedAndCarriesCountsAcrossLoads) {
    StandIn standIn(Tokens::get().one());
    for (int load = 1; load <= 2; ++load) {
        Module m;
        ASSERT_EQ(m->C_Initialize(nullptr), CKR_OK);
        CK_SESSION_HANDLE session = 0;
        EXPECT_EQ(m->C_OpenSession(0xDEAD, CKF_SERIAL_SESSION, nullptr, nullptr, &session),
                  CKR_SLOT_ID_INVALID);
        EXPECT_EQ(standIn.counter("sessions_opened"), load - 1);
        ASSERT_EQ(m->C_OpenSession(m.slots().at(0), CKF_SERIAL_SESSION, nullptr, nullptr, &session), CKR_OK);
        EXPECT_EQ(standIn.counter("open_sessions"), 1);
        m->C_CloseSession(session);
        m->C_Finalize(nullptr);
        EXPECT_EQ(standIn.counter("loads"), load);
    }
    EXPECT_TRUE(standIn.tornDown());
    EXPECT_EQ(standIn.counter("unloads"), 2);
}

TEST(StandIn, APulledKeyLeavesNoSlotAndItsSessionsAnswerRemoved) {
    StandIn standIn(Tokens::get().one());
    standIn.faults("remove=C_GetMechanismInfo");
    Module m;
    ASSERT_EQ(m->C_Initialize(nullptr), CKR_OK);
    const CK_SLOT_ID slot = m.slots().at(0);
    CK_SESSION_HANDLE session = 0;
    ASSERT_EQ(m->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &session), CKR_OK);
    CK_MECHANISM_INFO info{};
    EXPECT_EQ(m->C_GetMechanismInfo(slot, CKM_RSA_PKCS, &info), CKR_TOKEN_NOT_PRESENT);
    EXPECT_TRUE(m.slots().empty());
    EXPECT_EQ(m->C_Login(session, CKU_USER, nullptr, 0), CKR_DEVICE_REMOVED);
    EXPECT_EQ(m->C_CloseSession(session), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(standIn.counter("open_sessions"), 0);  // the caller has let it go
    m->C_Finalize(nullptr);
}

TEST(StandIn, APlanThatDoesNotParseFailsTheEntryPoint) {
    StandIn standIn(Tokens::get().one());
    standIn.faults("C_Login=0xA0;bogus");
    Module m;
    EXPECT_EQ(m.getListRv(), CKR_GENERAL_ERROR);
}

struct PlanCase {
    const char* plan;
    bool valid;
};

class FaultPlan : public ::testing::TestWithParam<PlanCase> {};

TEST_P(FaultPlan, IsReadOrRefusedWithAReason) {
    std::string error;
    const auto faults = qdpkcs11::parseFaults(GetParam().plan, &error);
    EXPECT_EQ(faults.has_value(), GetParam().valid) << error;
    EXPECT_EQ(error.empty(), GetParam().valid) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Plans, FaultPlan,
    ::testing::Values(PlanCase{"", true}, PlanCase{" ; \n ;", true},
                      PlanCase{"C_Login=0xA0; C_SignFinal@2=48\nnosign=QD Key A", true},
                      PlanCase{"C_GetAttributeValue.ID@2=0x30;remove=C_Login@3", true},
                      PlanCase{"longsig=7;certs=70;nulllist=1;badlength=ID;overlength=SIGN", true},
                      PlanCase{"C_Login", false}, PlanCase{"X_Login=1", false}, PlanCase{"C_Login=zz", false},
                      PlanCase{"C_Login=-1", false}, PlanCase{"C_Login@0=5", false},
                      PlanCase{"C_GetAttributeValue.KEY=5", false}, PlanCase{"remove=Login", false},
                      PlanCase{"nosign=", false}, PlanCase{"longsig=many", false},
                      PlanCase{"badlength=SIGN", false}));

TEST(FaultPlan, ReadsEachDirectiveIntoItsPlace) {
    std::string error;
    const auto f = qdpkcs11::parseFaults(
        "C_GetAttributeValue.VALUE@2=0x30;remove=C_Login@3;nosign=QD Key A;noverify=QD Key "
        "B;longsig=7;certs=70",
        &error);
    ASSERT_TRUE(f) << error;
    ASSERT_EQ(f->statuses.size(), 1u);
    EXPECT_EQ(f->statuses[0].function, "C_GetAttributeValue");
    EXPECT_FALSE(f->statuses[0].anyAttribute);
    EXPECT_EQ(f->statuses[0].attribute, static_cast<CK_ATTRIBUTE_TYPE>(CKA_VALUE));
    EXPECT_EQ(f->statuses[0].nth, 2u);
    EXPECT_EQ(f->statuses[0].status, 0x30u);
    EXPECT_EQ(f->removeAt, "C_Login");
    EXPECT_EQ(f->removeNth, 3u);
    EXPECT_EQ(f->noSign, std::vector<std::string>{"QD Key A"});
    EXPECT_EQ(f->noVerify, std::vector<std::string>{"QD Key B"});
    EXPECT_EQ(f->longSignature, 7u);
    EXPECT_EQ(f->certificates, 70u);
}

}  // namespace
