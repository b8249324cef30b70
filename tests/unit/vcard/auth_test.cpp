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

// Role 3: a key with 2 tries, changed and unblocked by the SO.
vcard::PersonalisationOptions withKeyObject() {
    auto o = fixedOptions();
    o.extraAuthObjects.push_back(
        {3, vcard::AuthType::KEY, KEY_24, 2, false, vcard::ac::ADMIN, vcard::ac::ADMIN, {}});
    return o;
}

// A PIN as the card takes it, 16 bytes zero-padded, in hex.
std::string pinHex(const std::string& pin) { return " " + toHex(pin16(pin)); }
std::string verify(int role, const std::string& pin) {
    return "80 20 0" + std::to_string(role) + " 00 10" + pinHex(pin);
}
// The user's record up to its tries: PIN, change by user or SO, unblock by the SO, 3 tries.
const std::string USER_RECORD = "00 01 06 00 00 01 04 03 00 ";

class AuthTest : public ::testing::Test {
protected:
    void SetUp() override { d.select(); }
    vcard::KalvikCard card{withKeyObject()};
    Driver d{card};
};

TEST(AuthContract, PinTriesCountDownAndWrongFormsCostNone) {
    vcard::KalvikCard card(withKeyObject());
    run(card, {
                  {SELECT_HEX, "90 00"},
                  // Refused forms cost no try.
                  {"80 20 01 00 08" + repeatHex("31", 8), "67 00"},
                  {"80 20 00 00 10" + pinHex("123456"), "6B 00"},  // role 0
                  {"80 20 05 00 10" + pinHex("123456"), "6B 00"},  // role without object
                  {"80 20 08 00 10" + pinHex("123456"), "6B 00"},
                  {"80 20 01 01 10" + pinHex("123456"), "6A 86"},
                  {"80 20 03 00 08" + repeatHex("00", 8), "69 85"},  // key without challenge
                  {"80 20 01 02 08" + repeatHex("00", 8), "6F 10"},  // session PIN never issued
                  {"80 2C 01 00 0A", USER_RECORD + "03 90 00"},
                  {"80 2C 03 00 0A", "01 01 04 00 00 01 04 02 00 02 90 00"},
                  // A wrong PIN costs a try, a right one gives them back.
                  {verify(1, "000000"), "63 C2"},
                  {"80 2C 01 00 0A", USER_RECORD + "02 90 00"},
                  {LOGIN_USER, "90 00"},
                  {"80 2C 01 00 0A", USER_RECORD + "03 90 00"},
                  {"80 50 00 00 01", "02 90 00"},
                  // A wrong PIN also ends the login; the last try blocks, even the right PIN.
                  {verify(1, "1234567"), "63 C2"},
                  {"80 50 00 00 01", "00 90 00"},
                  {verify(1, "12345"), "63 C1"},
                  {verify(1, "654321"), "63 C0"},
                  {LOGIN_USER, "69 83"},
                  {"80 2C 01 00 0A", USER_RECORD + "00 90 00"},
                  {"80 50 00 00 01", "00 90 00"},
              });
}

TEST(AuthContract, ChangePinFollowsPolicyAndRights) {
    vcard::KalvikCard card(withKeyObject());
    run(card,
        {
            {SELECT_HEX, "90 00"},
            {"80 26 00 01 10" + pinHex("4321"), "69 82"},  // nobody logged in
            {LOGIN_USER, "90 00"},
            {"80 26 00 01 10" + pinHex("123"), "6F 18"},        // too short
            {"80 26 00 01 10" + repeatHex("37", 16), "90 00"},  // 16 is the maximum
            {"80 26 00 01 10 31 32 33 34 00 35" + repeatHex("00", 10), "6F 18"},  // not padded
            {"80 26 00 01 0F" + repeatHex("31", 15), "67 00"},  // must be 16 bytes
            {"80 26 00 01 10" + pinHex("2468"), "90 00"},
            {LOGIN_USER, "63 C2"},
            {verify(1, "2468"), "90 00"},
            // The user may not change the SO PIN; the SO may change the user's.
            {"80 26 00 02 10" + pinHex("99999999"), "69 82"},
            {LOGIN_SO, "90 00"},
            {"80 26 00 01 10" + pinHex("135790"), "90 00"},
            {verify(1, "135790"), "90 00"},
            // A key object takes 24 bytes.
            {"80 26 00 03 10" + pinHex("1234"), "67 00"},
            {"80 26 00 03 18" + repeatHex("11", 24), "90 00"},
        });
}

TEST(AuthContract, UnblockPinWithTheSoPin) {
    vcard::KalvikCard card(withKeyObject());
    const std::string unblock = "80 28 02 01 20" + pinHex("12345678");
    run(card, {
                  {SELECT_HEX, "90 00"},
                  {verify(1, "000000"), "63 C2"},
                  {verify(1, "000000"), "63 C1"},
                  {verify(1, "000000"), "63 C0"},
                  // The user cannot unblock itself; a wrong SO PIN costs an SO try.
                  {"80 28 01 01 20" + pinHex("123456") + pinHex("1111"), "69 82"},
                  {"80 28 02 01 20" + pinHex("00000000") + pinHex("1111"), "63 C4"},
                  {"80 2C 01 00 0A", USER_RECORD + "00 90 00"},
                  // A new PIN outside the policy changes nothing, though the SO PIN was right.
                  {unblock + pinHex("11"), "6F 18"},
                  {"80 2C 01 00 0A", USER_RECORD + "00 90 00"},
                  {"80 2C 02 00 0A", "00 01 04 00 00 01 04 05 01 05 90 00"},
                  {"80 28 02 01 14" + repeatHex("01", 20), "67 00"},
                  {unblock + pinHex("1111"), "90 00"},
                  {"80 2C 01 00 0A", USER_RECORD + "03 90 00"},
                  {verify(1, "1111"), "90 00"},
                  // A key target takes 24 bytes after the authenticating PIN.
                  {"80 28 02 03 28" + pinHex("12345678") + " " + toHex(KEY_24), "90 00"},
              });
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

// What the module's login and a power cycle make of session PINs is its
// integration tests'; here the edges: role, reselection, warm reset.
TEST_F(AuthTest, SessionPinReestablishesTheRoleUntilAReset) {
    EXPECT_EQ(d.swOf(hex("80 2E 01 00 08")), 0x6982);  // only for an authenticated role
    ASSERT_EQ(d.login(1, "123456"), 0x9000);
    const Bytes session = body(d.send(hex("80 2E 01 00 08")));
    ASSERT_EQ(session.size(), 8u);
    EXPECT_NE(body(d.send(hex("80 2E 01 00 08"))), session);  // fresh each time
    // Reselecting the applet ends the login but keeps the session PIN, which
    // is not a PIN of the other roles.
    d.select();
    EXPECT_EQ(d.send(hex("80 50 00 00 01")), hex("00 90 00"));
    EXPECT_EQ(d.swOf(apdu(0x20, 2, 2, session)), 0x6F10);
    EXPECT_EQ(d.swOf(apdu(0x20, 1, 2, session)), 0x9000);
    EXPECT_EQ(d.send(hex("80 50 00 00 01")), hex("02 90 00"));
    // A warm reset forgets it; failing costs the PIN no try.
    card.reset();
    d.select();
    EXPECT_EQ(d.swOf(apdu(0x20, 1, 2, session)), 0x6F10);
    EXPECT_FALSE(card.isAuthenticated(1));
    EXPECT_EQ(card.triesRemaining(1), 3);
}

}  // namespace
