// Token information, sessions, login and PIN change through the function
// list, against virtual Kalvik cards in the in-process PC/SC service. The
// card side is checked through the service's APDU trace.
#include "harness.h"
#include "p11app.h"

#include "vcard/kalvikcard.h"

#include <winscard.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

using testpcsc::Exchange;
using testpcsc::PinEntry;

harness::ConfigurationEnvironment* const environment = harness::installConfiguration("");

const char* const READER = "Reader 0";
const std::string USER_PIN = "123456";
const std::string SO_PIN = "12345678";

using p11app::pin;

// "80 20 01 02" for every command of the trace: class, instruction, P1, P2.
std::vector<std::string> headers(const std::vector<Exchange>& trace) {
    std::vector<std::string> out;
    for (const Exchange& e : trace) {
        char text[16];
        std::snprintf(text, sizeof text, "%02X %02X %02X %02X", e.command[0], e.command[1],
                      e.command[2], e.command[3]);
        out.push_back(text);
    }
    return out;
}

const std::string AUTHENTICATE_USER_PIN = "80 20 01 00";
const std::string AUTHENTICATE_USER_SESSION_PIN = "80 20 01 02";
const std::string DEAUTHENTICATE_USER = "80 22 01 00";
const std::string GENERATE_USER_SESSION_PIN = "80 2E 01 00";
const std::string CHANGE_USER_PIN = "80 26 00 01";

class Sessions : public harness::ModuleTest {
protected:
    void SetUp() override {
        ModuleTest::SetUp();
        svc.addReader(READER, readerOptions());
        card = std::make_shared<vcard::KalvikCard>(cardOptions());
        svc.insertCard(READER, card);
        ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
    }
    virtual testpcsc::ReaderOptions readerOptions() { return {}; }
    virtual vcard::PersonalisationOptions cardOptions() { return {}; }

    CK_SESSION_HANDLE open(CK_FLAGS flags = CKF_SERIAL_SESSION | CKF_RW_SESSION) {
        CK_SESSION_HANDLE h = 0;
        EXPECT_EQ(f->C_OpenSession(0, flags, nullptr, nullptr, &h), CKR_OK);
        EXPECT_NE(h, 0u);
        return h;
    }
    CK_RV login(CK_SESSION_HANDLE h, const std::string& p, CK_USER_TYPE who = CKU_USER) {
        return p11app::login(f, h, who, p);
    }
    CK_STATE state(CK_SESSION_HANDLE h) { return p11app::state(f, h); }
    CK_RV sessionInfo(CK_SESSION_HANDLE h) {
        CK_SESSION_INFO info;
        return f->C_GetSessionInfo(h, &info);
    }
    CK_RV setPin(CK_SESSION_HANDLE h, const std::string& oldPin, const std::string& newPin) {
        return f->C_SetPIN(h, pin(oldPin), oldPin.size(), pin(newPin), newPin.size());
    }
    // The commands one call sends to the card.
    template <class Call>
    std::vector<std::string> commandsOf(Call&& call) {
        svc.clearTrace(READER);
        call();
        return headers(svc.trace(READER));
    }

    std::shared_ptr<vcard::KalvikCard> card;
};

// --- token information -----------------------------------------------------------

TEST_F(Sessions, TokenInfoDescribesTheCard) {
    CK_TOKEN_INFO info;
    std::memset(&info, 0xEE, sizeof info);
    ASSERT_EQ(f->C_GetTokenInfo(0, &info), CKR_OK);
    EXPECT_EQ(text(info.label, 32), padded("Brisane 3.1 Kalvik", 32));
    EXPECT_EQ(text(info.manufacturerID, 32), padded("Marvolen s.r.o.", 32));
    EXPECT_EQ(text(info.model, 16), padded("Kalvik", 16));
    std::string serial;
    for (std::uint8_t b : card->serialNumber()) {
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02X", b);
        serial += hex;
    }
    EXPECT_EQ(text(info.serialNumber, 16), serial);
    EXPECT_EQ(info.flags, 0x42Du);
    EXPECT_EQ(info.ulSessionCount, 0u);
    EXPECT_EQ(info.ulMaxPinLen, 16u);
    EXPECT_EQ(info.ulMinPinLen, 4u);
    EXPECT_GT(info.ulTotalPublicMemory, 0u);
    EXPECT_LE(info.ulFreePublicMemory, info.ulTotalPublicMemory);
    EXPECT_EQ(info.firmwareVersion.major, 3);
    EXPECT_EQ(info.firmwareVersion.minor, 1);

    // Sessions are counted; the query works beside the session connection.
    CK_SESSION_HANDLE a = open();
    open(CKF_SERIAL_SESSION);
    ASSERT_EQ(f->C_GetTokenInfo(0, &info), CKR_OK);
    EXPECT_EQ(info.ulSessionCount, 2u);
    ASSERT_EQ(f->C_CloseSession(a), CKR_OK);
    ASSERT_EQ(f->C_GetTokenInfo(0, &info), CKR_OK);
    EXPECT_EQ(info.ulSessionCount, 1u);
    // The card is left as found: no transaction, no connection.
    EXPECT_EQ(svc.openHandles(), 1u);  // the session connection
}

TEST_F(Sessions, TokenInfoFailures) {
    CK_TOKEN_INFO info;
    EXPECT_EQ(f->C_GetTokenInfo(0, nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(f->C_GetTokenInfo(1, &info), CKR_TOKEN_NOT_PRESENT);  // empty slot
    EXPECT_EQ(f->C_GetTokenInfo(6, &info), CKR_SLOT_ID_INVALID);
    svc.failCall(testpcsc::Function::Transmit, SCARD_W_REMOVED_CARD);
    EXPECT_EQ(f->C_GetTokenInfo(0, &info), CKR_TOKEN_NOT_PRESENT);
    // A card that is not ours: the applet selection fails.
    svc.replaceCard(READER, std::make_shared<harness::BlankCard>());
    EXPECT_EQ(f->C_GetTokenInfo(0, &info), CKR_FUNCTION_FAILED);
    svc.removeCard(READER);
    EXPECT_EQ(f->C_GetTokenInfo(0, &info), CKR_TOKEN_NOT_PRESENT);
    EXPECT_EQ(svc.openHandles(), 0u);
}

// --- sessions ------------------------------------------------------------------------

TEST_F(Sessions, OpenSessionArgumentsAndSlots) {
    CK_SESSION_HANDLE h;
    EXPECT_EQ(f->C_OpenSession(0, CKF_RW_SESSION, nullptr, nullptr, &h),
              CKR_SESSION_PARALLEL_NOT_SUPPORTED);
    EXPECT_EQ(f->C_OpenSession(1, CKF_SERIAL_SESSION, nullptr, nullptr, &h), CKR_TOKEN_NOT_PRESENT);
    EXPECT_EQ(f->C_OpenSession(6, CKF_SERIAL_SESSION, nullptr, nullptr, &h), CKR_SLOT_ID_INVALID);

    CK_SESSION_HANDLE ro = open(CKF_SERIAL_SESSION | 0x100);  // unknown bits are ignored
    CK_SESSION_HANDLE rw = open();
    CK_SESSION_INFO info{};
    ASSERT_EQ(f->C_GetSessionInfo(ro, &info), CKR_OK);
    EXPECT_EQ(info.slotID, 0u);
    EXPECT_EQ(info.flags, CKF_SERIAL_SESSION);
    EXPECT_EQ(info.state, CKS_RO_PUBLIC_SESSION);
    ASSERT_EQ(f->C_GetSessionInfo(rw, &info), CKR_OK);
    EXPECT_EQ(info.flags, CKF_SERIAL_SESSION | CKF_RW_SESSION);
    EXPECT_EQ(info.state, CKS_RW_PUBLIC_SESSION);
    // Both sessions share the one connection of the slot.
    EXPECT_EQ(svc.openHandles(), 1u);
}

TEST_F(Sessions, LoginIsSharedByTheSlotAndOutlivesClosedSessions) {
    CK_SESSION_HANDLE a = open();
    CK_SESSION_HANDLE b = open(CKF_SERIAL_SESSION);
    ASSERT_EQ(login(a, USER_PIN), CKR_OK);
    EXPECT_EQ(state(a), CKS_RW_USER_FUNCTIONS);
    EXPECT_EQ(state(b), CKS_RO_USER_FUNCTIONS);
    // The card holds the login only during a call.
    EXPECT_FALSE(card->isAuthenticated(1));

    ASSERT_EQ(f->C_CloseSession(a), CKR_OK);
    ASSERT_EQ(f->C_CloseSession(b), CKR_OK);
    CK_SESSION_HANDLE c = open();
    EXPECT_EQ(state(c), CKS_RW_USER_FUNCTIONS);

    // Logout is for every session of the slot, and may be repeated.
    CK_SESSION_HANDLE d = open(CKF_SERIAL_SESSION);
    EXPECT_EQ(f->C_Logout(d), CKR_OK);
    EXPECT_EQ(state(c), CKS_RW_PUBLIC_SESSION);
    EXPECT_EQ(f->C_Logout(c), CKR_OK);
    EXPECT_EQ(state(d), CKS_RO_PUBLIC_SESSION);
}

TEST_F(Sessions, LoginProvesThePinOnceAndKeepsOnlyTheSessionPin) {
    CK_SESSION_HANDLE h = open();
    // Nobody logged in: no session PIN, just the PIN, the session PIN made, dropped.
    std::vector<std::string> first = commandsOf([&] { ASSERT_EQ(login(h, USER_PIN), CKR_OK); });
    ASSERT_GE(first.size(), 3u);
    EXPECT_EQ(std::count(first.begin(), first.end(), AUTHENTICATE_USER_SESSION_PIN), 0);
    auto verify = std::find(first.begin(), first.end(), AUTHENTICATE_USER_PIN);
    ASSERT_NE(verify, first.end());
    auto generate = std::find(verify, first.end(), GENERATE_USER_SESSION_PIN);
    ASSERT_NE(generate, first.end());
    EXPECT_NE(std::find(generate, first.end(), DEAUTHENTICATE_USER), first.end());
    EXPECT_EQ(first.back(), DEAUTHENTICATE_USER);

    // Logged in: the call starts by re-proving the login with the session
    // PIN, before anything else reaches the card, and ends without it.
    std::vector<std::string> again = commandsOf([&] { ASSERT_EQ(login(h, USER_PIN), CKR_OK); });
    auto reproof = std::find(again.begin(), again.end(), AUTHENTICATE_USER_SESSION_PIN);
    ASSERT_NE(reproof, again.end());
    for (auto it = again.begin(); it != reproof; ++it)
        EXPECT_NE(it->substr(0, 5), "80 20") << "a PIN check came before the session PIN";
    EXPECT_EQ(again.back(), DEAUTHENTICATE_USER);
    EXPECT_FALSE(card->isAuthenticated(1));

    // The PIN itself is never sent again: only the session PIN (8 bytes).
    std::vector<std::string> change =
        commandsOf([&] { ASSERT_EQ(setPin(h, USER_PIN, "4321"), CKR_OK); });
    ASSERT_FALSE(change.empty());
    auto firstAuth = std::find_if(change.begin(), change.end(),
                                  [](const std::string& c) { return c.substr(0, 5) == "80 20"; });
    ASSERT_NE(firstAuth, change.end());
    EXPECT_EQ(*firstAuth, AUTHENTICATE_USER_SESSION_PIN);
    for (const Exchange& e : svc.trace(READER)) {
        if (e.command[1] == 0x20 && e.command[3] == 0x02) {
            EXPECT_EQ(e.command[4], 0x08);
        }
    }
    EXPECT_EQ(setPin(h, "4321", USER_PIN), CKR_OK);
}

TEST_F(Sessions, RefusedSessionPinMeansNotLoggedIn) {
    CK_SESSION_HANDLE h = open();
    ASSERT_EQ(login(h, USER_PIN), CKR_OK);
    // The card loses its session PINs behind the module's back: a power
    // cycle the PC/SC layer does not report, the applet selected again.
    card->powerOff();
    card->powerOn();
    ASSERT_EQ(card->transmit(
                  {0x00, 0xA4, 0x04, 0x00, 0x09, 0xF0, 'Q', 'V', 'K', 'A', 0x01, 0x00, 0x00, 0x41}),
              (vcard::Bytes{0x90, 0x00}));
    EXPECT_EQ(setPin(h, USER_PIN, "4321"), CKR_USER_NOT_LOGGED_IN);
    EXPECT_EQ(card->triesRemaining(1), 3);  // the user's PIN was not tried
    // A new login recovers.
    EXPECT_EQ(f->C_Logout(h), CKR_OK);
    EXPECT_EQ(login(h, USER_PIN), CKR_OK);
    // A wrong PIN keeps it.
    EXPECT_EQ(login(h, "999999"), CKR_PIN_INCORRECT);
    EXPECT_EQ(state(h), CKS_RW_USER_FUNCTIONS);
    EXPECT_FALSE(card->isAuthenticated(1));
}

TEST_F(Sessions, LoginArgumentsAndWrongPins) {
    CK_SESSION_HANDLE h = open();
    EXPECT_EQ(f->C_Login(h, CKU_CONTEXT_SPECIFIC, pin(USER_PIN), 6), CKR_ARGUMENTS_BAD);
    // No PIN, or an empty one, and no PIN pad here: nothing reaches the card.
    for (CK_UTF8CHAR_PTR none : {static_cast<CK_UTF8CHAR_PTR>(nullptr), pin("")})
        EXPECT_TRUE(commandsOf([&] {
                        EXPECT_EQ(f->C_Login(h, CKU_USER, none, 0), CKR_ARGUMENTS_BAD);
                        EXPECT_EQ(f->C_SetPIN(h, none, 0, pin("4321"), 4), CKR_ARGUMENTS_BAD);
                        EXPECT_EQ(f->C_SetPIN(h, pin(USER_PIN), 6, none, 0), CKR_ARGUMENTS_BAD);
                    }).empty());
    EXPECT_EQ(f->C_Login(h + 1000, CKU_USER, pin(USER_PIN), 6), CKR_SESSION_HANDLE_INVALID);

    // PINs the card cannot take are refused before they reach it; a length
    // beyond 32 bits is not cut down to a valid one.
    EXPECT_EQ(login(h, std::string(17, '1')), CKR_PIN_INCORRECT);
    EXPECT_EQ(f->C_Login(h, CKU_USER, pin(USER_PIN), (CK_ULONG(1) << 32) | 6), CKR_PIN_INCORRECT);
    EXPECT_EQ(card->triesRemaining(1), 3);

    EXPECT_EQ(login(h, "000000"), CKR_PIN_INCORRECT);
    EXPECT_EQ(card->triesRemaining(1), 2);
    EXPECT_EQ(state(h), CKS_RW_PUBLIC_SESSION);
    EXPECT_EQ(login(h, "000000"), CKR_PIN_INCORRECT);
    EXPECT_EQ(login(h, "000000"), CKR_PIN_LOCKED);
    EXPECT_EQ(login(h, USER_PIN), CKR_PIN_LOCKED);
    EXPECT_EQ(state(h), CKS_RW_PUBLIC_SESSION);
}

TEST_F(Sessions, SecurityOfficerRules) {
    CK_SESSION_HANDLE ro = open(CKF_SERIAL_SESSION);
    CK_SESSION_HANDLE rw = open();
    EXPECT_EQ(login(rw, SO_PIN, CKU_SO), CKR_SESSION_READ_ONLY_EXISTS);
    ASSERT_EQ(f->C_CloseSession(ro), CKR_OK);
    ASSERT_EQ(login(rw, SO_PIN, CKU_SO), CKR_OK);
    EXPECT_EQ(state(rw), CKS_RW_SO_FUNCTIONS);
    CK_SESSION_HANDLE h;
    EXPECT_EQ(f->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &h),
              CKR_SESSION_READ_WRITE_SO_EXISTS);
    CK_SESSION_HANDLE rw2 = open();
    EXPECT_EQ(state(rw2), CKS_RW_SO_FUNCTIONS);
    // The officer changes its own PIN.
    EXPECT_EQ(setPin(rw, SO_PIN, "87654321"), CKR_OK);
    EXPECT_EQ(f->C_Logout(rw), CKR_OK);
    EXPECT_EQ(login(rw, SO_PIN, CKU_SO), CKR_PIN_INCORRECT);
    EXPECT_EQ(login(rw, "87654321", CKU_SO), CKR_OK);
    EXPECT_EQ(login(rw, USER_PIN), CKR_OK);  // a user login replaces it
    EXPECT_EQ(state(rw), CKS_RW_USER_FUNCTIONS);
    EXPECT_EQ(f->C_OpenSession(0, CKF_SERIAL_SESSION, nullptr, nullptr, &h), CKR_OK);
}

TEST_F(Sessions, SetPinChangesTheUserPin) {
    CK_SESSION_HANDLE ro = open(CKF_SERIAL_SESSION);
    EXPECT_EQ(setPin(ro, USER_PIN, "4321"), CKR_SESSION_READ_ONLY);
    CK_SESSION_HANDLE h = open();
    // Nobody logged in: the user's PIN is changed.
    ASSERT_EQ(setPin(h, USER_PIN, "4321"), CKR_OK);
    EXPECT_FALSE(card->isAuthenticated(1));
    EXPECT_EQ(login(h, USER_PIN), CKR_PIN_INCORRECT);
    EXPECT_EQ(login(h, "4321"), CKR_OK);
    EXPECT_EQ(setPin(h, "0000", USER_PIN), CKR_PIN_INCORRECT);
    // The card's PIN rules decide about the new PIN, and a refusal leaves the
    // card without the proof of the old one.
    EXPECT_EQ(setPin(h, "4321", "12"), CKR_PIN_LEN_RANGE);
    EXPECT_FALSE(card->isAuthenticated(1));
    ASSERT_EQ(setPin(h, "4321", USER_PIN), CKR_OK);
    // The session PIN is not renewed, and still works.
    EXPECT_EQ(state(h), CKS_RW_USER_FUNCTIONS);
    EXPECT_EQ(setPin(h, USER_PIN, USER_PIN), CKR_OK);
}

// --- cards that go away ------------------------------------------------------------------

struct Disappearance {
    const char* name;
    long pcscCode;
    CK_RV expected;
};

class CardGone : public Sessions, public ::testing::WithParamInterface<Disappearance> {};

TEST_P(CardGone, DuringACallInvalidatesEverySessionOfTheSlot) {
    CK_SESSION_HANDLE a = open();
    CK_SESSION_HANDLE b = open(CKF_SERIAL_SESSION);
    ASSERT_EQ(login(a, USER_PIN), CKR_OK);
    // Fails in the middle of the call: the third exchange with the card.
    svc.failCall(testpcsc::Function::Transmit, static_cast<LONG>(GetParam().pcscCode), 1, 2);
    EXPECT_EQ(setPin(a, USER_PIN, "4321"), GetParam().expected);
    // Every session of the slot is gone; the handle is released on first use.
    EXPECT_EQ(sessionInfo(a), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(sessionInfo(a), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(f->C_Logout(b), CKR_SESSION_HANDLE_INVALID);
    // With them the login: a new session starts with nobody logged in.
    CK_SESSION_HANDLE c = open();
    EXPECT_EQ(state(c), CKS_RW_PUBLIC_SESSION);
    EXPECT_EQ(svc.openHandles(), 1u);
}

TEST_P(CardGone, BeforeACallIsFoundByTheTransaction) {
    CK_SESSION_HANDLE a = open();
    ASSERT_EQ(login(a, USER_PIN), CKR_OK);
    if (GetParam().pcscCode == static_cast<long>(SCARD_W_RESET_CARD))
        svc.resetCard(READER);
    else
        svc.removeCard(READER);
    svc.clearTrace(READER);
    EXPECT_EQ(login(a, USER_PIN), GetParam().expected);
    EXPECT_TRUE(svc.trace(READER).empty());
    EXPECT_EQ(login(a, USER_PIN), CKR_SESSION_HANDLE_INVALID);
}

INSTANTIATE_TEST_SUITE_P(
    Pcsc, CardGone,
    ::testing::Values(Disappearance{"removed", SCARD_W_REMOVED_CARD, CKR_TOKEN_NOT_PRESENT},
                      Disappearance{"reset", SCARD_W_RESET_CARD, CKR_SESSION_CLOSED}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Sessions, ReplacedCardMakesOpenSessionStartAfresh) {
    CK_SESSION_HANDLE old = open();
    ASSERT_EQ(login(old, USER_PIN), CKR_OK);
    svc.replaceCard(READER, std::make_shared<vcard::KalvikCard>());
    // Session calls that do not reach the card still answer...
    EXPECT_EQ(state(old), CKS_RW_USER_FUNCTIONS);
    // ...until a new session finds the connection stale.
    CK_SESSION_HANDLE fresh = open();
    EXPECT_EQ(state(fresh), CKS_RW_PUBLIC_SESSION);
    EXPECT_EQ(sessionInfo(old), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(login(fresh, USER_PIN), CKR_OK);
    EXPECT_EQ(svc.openHandles(), 1u);
}

TEST_F(Sessions, CloseAllSessions) {
    EXPECT_EQ(f->C_CloseAllSessions(1), CKR_TOKEN_NOT_PRESENT);
    EXPECT_EQ(f->C_CloseAllSessions(9), CKR_SLOT_ID_INVALID);
    EXPECT_EQ(f->C_CloseAllSessions(0), CKR_OK);  // nothing to close

    CK_SESSION_HANDLE a = open();
    CK_SESSION_HANDLE b = open();
    ASSERT_EQ(login(a, USER_PIN), CKR_OK);
    ASSERT_EQ(f->C_CloseAllSessions(0), CKR_OK);
    EXPECT_EQ(sessionInfo(a), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(sessionInfo(b), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(state(open()), CKS_RW_PUBLIC_SESSION);  // the login went with them
    CK_TOKEN_INFO info;
    ASSERT_EQ(f->C_GetTokenInfo(0, &info), CKR_OK);
    EXPECT_EQ(info.ulSessionCount, 1u);
}

TEST_F(Sessions, FinalizeClosesEverything) {
    CK_SESSION_HANDLE a = open();
    ASSERT_EQ(login(a, USER_PIN), CKR_OK);
    ASSERT_EQ(f->C_Finalize(nullptr), CKR_OK);
    EXPECT_EQ(svc.openHandles(), 0u);
    EXPECT_EQ(svc.openContexts(), 0u);
    ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
    EXPECT_EQ(sessionInfo(a), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(state(open()), CKS_RW_PUBLIC_SESSION);
}

// --- PIN pad ----------------------------------------------------------------------------

class PinPad : public Sessions {
protected:
    testpcsc::ReaderOptions readerOptions() override {
        testpcsc::ReaderOptions options;
        options.pinPad = testpcsc::PinPadFeatures::VerifyAndModify;
        return options;
    }
};

TEST_F(PinPad, LoginAndPinChangeOnTheReader) {
    CK_TOKEN_INFO info;
    ASSERT_EQ(f->C_GetTokenInfo(0, &info), CKR_OK);
    EXPECT_EQ(info.flags, 0x52Du);

    CK_SESSION_HANDLE h = open();
    svc.queuePinEntries(READER, {PinEntry::cancel()});
    EXPECT_EQ(f->C_Login(h, CKU_USER, nullptr, 0), CKR_FUNCTION_CANCELED);
    EXPECT_EQ(state(h), CKS_RW_PUBLIC_SESSION);

    // An empty PIN, like none, is asked for on the reader.
    svc.queuePinEntries(READER, {PinEntry::pin(USER_PIN)});
    ASSERT_EQ(f->C_Login(h, CKU_USER, pin(""), 0), CKR_OK);
    EXPECT_EQ(state(h), CKS_RW_USER_FUNCTIONS);
    EXPECT_EQ(svc.pinPadRecords(READER).size(), 2u);
    // Later calls use the session PIN, not the pad.
    EXPECT_EQ(f->C_Logout(h), CKR_OK);
    svc.queuePinEntries(READER, {PinEntry::pin("1111")});
    EXPECT_EQ(f->C_Login(h, CKU_USER, nullptr, 0), CKR_PIN_INCORRECT);

    // The old PIN is verified on the pad, the new one entered and confirmed there.
    svc.queuePinEntries(READER,
                        {PinEntry::pin(USER_PIN), PinEntry::pin("2468"), PinEntry::pin("2468")});
    ASSERT_EQ(f->C_SetPIN(h, nullptr, 0, nullptr, 0), CKR_OK);
    EXPECT_EQ(svc.pendingPinEntries(READER), 0u);
    svc.queuePinEntries(READER, {PinEntry::pin("2468")});
    EXPECT_EQ(f->C_Login(h, CKU_USER, nullptr, 0), CKR_OK);
}

}  // namespace
