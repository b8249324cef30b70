// PINs and keys with tries, session PINs, PIN changes and unblocking.
#include <openssl/evp.h>

#include "cardtest.h"

using namespace cardtest;

namespace {

const Bytes KEY_24 = hex("00112233445566778899AABBCCDDEEFF0123456789ABCDEF");

// The expected answer to a challenge, computed independently with OpenSSL.
Bytes encrypt3des(const Bytes& key, const Bytes& block) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    Bytes out(16);
    int n = 0, m = 0;
    EVP_EncryptInit_ex(ctx, EVP_des_ede3_ecb(), nullptr, key.data(), nullptr);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    EVP_EncryptUpdate(ctx, out.data(), &n, block.data(), int(block.size()));
    EVP_EncryptFinal_ex(ctx, out.data() + n, &m);
    EVP_CIPHER_CTX_free(ctx);
    out.resize(std::size_t(n + m));
    return out;
}

vcard::PersonalisationOptions withKeyObject() {
    auto o = fixedOptions();
    vcard::AuthObjectSetup key;
    key.role = 3;
    key.type = vcard::AuthType::KEY;
    key.value = KEY_24;
    key.maxTries = 2;
    key.changeAc = vcard::ac::ADMIN;
    key.unblockAc = vcard::ac::ADMIN;
    o.extraAuthObjects.push_back(key);
    return o;
}

class AuthTest : public ::testing::Test {
protected:
    void SetUp() override { d.select(); }
    vcard::KalvikCard card{withKeyObject()};
    Driver d{card};
};

TEST_F(AuthTest, PinTriesCountDownAndBlock) {
    EXPECT_EQ(d.login(1, "000000"), 0x63C2);
    EXPECT_EQ(card.triesRemaining(1), 2);
    EXPECT_EQ(d.login(1, "123456"), 0x9000);  // a right PIN restores the tries
    EXPECT_EQ(card.triesRemaining(1), 3);
    EXPECT_TRUE(card.isAuthenticated(1));
    // A wrong PIN also drops the login.
    EXPECT_EQ(d.login(1, "1234567"), 0x63C2);
    EXPECT_FALSE(card.isAuthenticated(1));
    EXPECT_EQ(d.login(1, "12345"), 0x63C1);
    EXPECT_EQ(d.login(1, "654321"), 0x63C0);
    EXPECT_EQ(d.login(1, "123456"), 0x6983);  // blocked, even with the right PIN
    EXPECT_EQ(card.triesRemaining(1), 0);
    EXPECT_FALSE(card.isAuthenticated(1));
    // The record's byte 9 reports it.
    EXPECT_EQ(d.send(hex("80 2C 01 00 0A")).at(9), 0);
}

TEST_F(AuthTest, WrongFormsAreRefusedWithoutCostingTries) {
    struct Case {
        const char* what;
        Bytes command;
        std::uint16_t sw;
    } cases[] = {
        {"PIN in 8 bytes", apdu(0x20, 1, 0, Bytes(8, '1')), 0x6700},
        {"role 0", apdu(0x20, 0, 0, pin16("123456")), 0x6B00},
        {"role without object", apdu(0x20, 5, 0, pin16("123456")), 0x6B00},
        {"role 8", apdu(0x20, 8, 0, pin16("123456")), 0x6B00},
        {"bad P2", apdu(0x20, 1, 1, pin16("123456")), 0x6A86},
        {"key without challenge", apdu(0x20, 3, 0, Bytes(8, 0)), 0x6985},
        {"session PIN that was never issued", apdu(0x20, 1, 2, Bytes(8, 0)), 0x6F10},
    };
    for (const auto& c : cases)
        EXPECT_EQ(d.swOf(c.command), c.sw) << c.what;
    EXPECT_EQ(card.triesRemaining(1), 3);
    EXPECT_EQ(card.triesRemaining(3), 2);
}

TEST_F(AuthTest, KeyObjectAnswersTheChallengeWithTripleDes) {
    Bytes r = d.send(hex("80 24 03 00 08"));
    ASSERT_EQ(sw(r), 0x9000);
    const Bytes challenge = body(r);
    ASSERT_EQ(challenge.size(), 8u);
    EXPECT_EQ(d.swOf(apdu(0x20, 3, 0, encrypt3des(KEY_24, challenge))), 0x9000);
    EXPECT_TRUE(card.isAuthenticated(3));
    // The challenge is used up.
    EXPECT_EQ(d.swOf(apdu(0x20, 3, 0, encrypt3des(KEY_24, challenge))), 0x6985);

    // A fresh challenge answered wrongly costs a try.
    Bytes c2 = body(d.send(hex("80 24 03 00 08")));
    EXPECT_NE(c2, challenge);
    EXPECT_EQ(d.swOf(apdu(0x20, 3, 0, encrypt3des(KEY_24, challenge))), 0x63C1);
    EXPECT_FALSE(card.isAuthenticated(3));
    Bytes c3 = body(d.send(hex("80 24 03 00 08")));
    EXPECT_EQ(d.swOf(apdu(0x20, 3, 0, encrypt3des(KEY_24, c3))), 0x9000);
    EXPECT_EQ(card.triesRemaining(3), 2);
}

TEST_F(AuthTest, SessionPinReestablishesTheRole) {
    EXPECT_EQ(d.swOf(hex("80 2E 01 00 08")), 0x6982);  // only for an authenticated role
    ASSERT_EQ(d.login(1, "123456"), 0x9000);
    Bytes r = d.send(hex("80 2E 01 00 08"));
    ASSERT_EQ(sw(r), 0x9000);
    const Bytes session = body(r);
    ASSERT_EQ(session.size(), 8u);
    EXPECT_NE(body(d.send(hex("80 2E 01 00 08"))), session);  // fresh each time

    ASSERT_EQ(d.swOf(hex("80 22 01 00 00")), 0x9000);
    EXPECT_FALSE(card.isAuthenticated(1));
    EXPECT_EQ(d.send(hex("80 50 00 00 01")), hex("00 90 00"));
    // The session PIN brings the role back; it is not a PIN of the other roles.
    EXPECT_EQ(d.swOf(apdu(0x20, 2, 2, session)), 0x6F10);
    EXPECT_EQ(d.swOf(apdu(0x20, 1, 2, session)), 0x9000);
    EXPECT_TRUE(card.isAuthenticated(1));
    EXPECT_EQ(d.send(hex("80 50 00 00 01")), hex("02 90 00"));
    // A wrong session PIN fails without touching the PIN's tries.
    Bytes wrong = session;
    wrong[0] ^= 1;
    EXPECT_EQ(d.swOf(apdu(0x20, 1, 2, wrong)), 0x6F10);
    EXPECT_FALSE(card.isAuthenticated(1));
    EXPECT_EQ(card.triesRemaining(1), 3);
    // Reselecting the applet ends the login but keeps the session PIN ...
    ASSERT_EQ(d.swOf(apdu(0x20, 1, 2, session)), 0x9000);
    d.select();
    EXPECT_FALSE(card.isAuthenticated(1));
    EXPECT_EQ(d.swOf(apdu(0x20, 1, 2, session)), 0x9000);
    // ... while power off and reset forget both.
    for (int kind = 0; kind < 2; ++kind) {
        ASSERT_EQ(d.login(1, "123456"), 0x9000);
        Bytes s = body(d.send(hex("80 2E 01 00 08")));
        if (kind == 0) {
            card.powerOff();
            card.powerOn();
        } else {
            card.reset();
        }
        EXPECT_FALSE(card.isAuthenticated(1));
        d.select();
        EXPECT_EQ(d.swOf(apdu(0x20, 1, 2, s)), 0x6F10) << kind;
    }
}

TEST_F(AuthTest, ChangePinFollowsPolicyAndRights) {
    EXPECT_EQ(d.swOf(apdu(0x26, 0, 1, pin16("4321"))), 0x6982);  // nobody logged in
    ASSERT_EQ(d.login(1, "123456"), 0x9000);
    struct Case {
        Bytes value;
        std::uint16_t sw;
    } cases[] = {
        {pin16("123"), 0x6F18},    // too short
        {Bytes(16, '7'), 0x9000},  // 16 characters is the maximum
        {cat(pin16("12"), Bytes()), 0x6F18},
        {hex("31 32 33 34 00 35 00 00 00 00 00 00 00 00 00 00"), 0x6F18},  // not zero-padded
        {Bytes(15, '1'), 0x6700},                                          // must be 16 bytes
        {pin16("2468"), 0x9000},
    };
    for (const auto& c : cases)
        EXPECT_EQ(d.swOf(apdu(0x26, 0, 1, c.value)), c.sw);
    EXPECT_EQ(d.login(1, "123456"), 0x63C2);
    EXPECT_EQ(d.login(1, "2468"), 0x9000);
    // The user may not change the SO PIN; the SO may change the user's.
    EXPECT_EQ(d.swOf(apdu(0x26, 0, 2, pin16("99999999"))), 0x6982);
    ASSERT_EQ(d.login(2, "12345678"), 0x9000);
    EXPECT_EQ(d.swOf(apdu(0x26, 0, 1, pin16("135790"))), 0x9000);
    EXPECT_EQ(d.login(1, "135790"), 0x9000);
    // A key object takes 24 bytes.
    EXPECT_EQ(d.swOf(apdu(0x26, 0, 3, pin16("1234"))), 0x6700);
    EXPECT_EQ(d.swOf(apdu(0x26, 0, 3, Bytes(24, 0x11))), 0x9000);
}

TEST_F(AuthTest, UnblockPinWithTheSoPin) {
    for (int i = 0; i < 3; ++i)
        d.login(1, "000000");
    ASSERT_EQ(card.triesRemaining(1), 0);
    // The user cannot unblock itself.
    EXPECT_EQ(d.swOf(apdu(0x28, 1, 1, cat(pin16("123456"), pin16("1111")))), 0x6982);
    // Wrong SO PIN costs an SO try and changes nothing.
    EXPECT_EQ(d.swOf(apdu(0x28, 2, 1, cat(pin16("00000000"), pin16("1111")))), 0x63C4);
    EXPECT_EQ(card.triesRemaining(1), 0);
    // New PIN outside the policy.
    EXPECT_EQ(d.swOf(apdu(0x28, 2, 1, cat(pin16("12345678"), pin16("11")))), 0x6F18);
    EXPECT_EQ(card.triesRemaining(1), 0);
    EXPECT_EQ(card.triesRemaining(2), 5);  // a right SO PIN restores its tries
    EXPECT_EQ(d.swOf(apdu(0x28, 2, 1, Bytes(20, 1))), 0x6700);
    EXPECT_EQ(d.swOf(apdu(0x28, 2, 1, cat(pin16("12345678"), pin16("1111")))), 0x9000);
    EXPECT_EQ(card.triesRemaining(1), 3);
    EXPECT_EQ(d.login(1, "1111"), 0x9000);
    // A key target takes 24 bytes after the authenticating PIN.
    EXPECT_EQ(d.swOf(apdu(0x28, 2, 3, cat(pin16("12345678"), KEY_24))), 0x9000);
}

}  // namespace
