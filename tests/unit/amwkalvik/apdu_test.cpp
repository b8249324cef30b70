// The applet's commands as bytes on the wire, their response checks, the
// status-word mapping and the PIN pad loop, against a scripted connection.
#include "amwkalvik/apdu.h"
#include "exceptions.h"
#include "fakeconnection.h"

#include <gtest/gtest.h>

#include <functional>
#include <typeinfo>

using namespace amwkalvik;
using namespace fake;

namespace {

const char* const INTERNAL = "INTERNAL ERROR ";

// The applet's class, the instruction by its name, then the rest of the command.
std::string applet(apdu::Instruction ins, const std::string& rest) {
    char head[8];
    std::snprintf(head, sizeof head, "80 %02X ", static_cast<unsigned>(ins));
    return head + rest;
}

std::string lengthMessage(int expected, int actual) {
    return INTERNAL + ("unexpected response length (expected " + std::to_string(expected) +
                       ",  actual " + std::to_string(actual) + ")");
}

// The first `n` bytes of a command in hex.
std::string head(const Bytes& command, std::size_t n = 5) {
    return fake::toHex(Bytes(command.begin(), command.begin() + n));
}

// authenticate() for `role`, not a session PIN.
amw::AuthenticationResult authenticate(fake::Connection& c, std::uint32_t type, const Bytes& data,
                                       std::uint32_t* tries,
                                       amw::PinPadNotifier* notifier = nullptr) {
    return apdu::authenticate(c, 1, false, type, data.data(), data.size(), tries, notifier);
}

// " 00" n times.
std::string zeros(std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i)
        out += " 00";
    return out;
}

// A PIN pad call as "verify <offset>: <apdu>" or
// "modify <enterOld> <confirm> <oldOffset> <newOffset>: <apdu>".
std::string pinPad(const fake::PinPadCall& p) {
    std::string fields = std::to_string(p.oldOffset);
    if (p.modify)
        fields = std::to_string(p.enterOldPin) + " " + std::to_string(p.confirmNewPin) + " " +
                 fields + " " + std::to_string(p.newOffset);
    return (p.modify ? "modify " : "verify ") + fields + ": " + fake::toHex(p.apdu);
}

// Throws E, and the message starts with `prefix`.
template <class E, class F>
void expectThrowPrefix(F&& f, const std::string& prefix) {
    try {
        f();
        ADD_FAILURE() << "nothing thrown, expected: " << prefix;
    } catch (const E& e) {
        EXPECT_EQ(std::string(e.what()).substr(0, prefix.size()), prefix) << e.what();
    }
}

}  // namespace

TEST(StatusWords, EachMapsToItsExceptionAndOnlyNineThousandSucceeds) {
    struct Case {
        std::uint16_t sw;
        const char* type;  // empty: success
        const char* message;
    };
    const Case cases[] = {
        {0x9000, "", ""},
        {0x6982, typeid(amw::SecurityViolationException).name(),
         "SECURITY VIOLATION (not logged in)"},
        {0x6D00, typeid(amw::AppletNotSelectedException).name(), ""},
        {0x6F03, typeid(amw::CardOutOfMemoryException).name(), "CARD OUT OF MEMORY"},
        {0x6F18, typeid(amw::PinPolicyViolationException).name(), "PIN POLICY VIOLATION"},
        {0x6F17, typeid(amw::SWException).name(), "unexpected SW 6F17"},
        {0x6F19, typeid(amw::SWException).name(), "unexpected SW 6F19"},
        {0x6283, typeid(amw::SWException).name(), "unexpected SW 6283"},
        {0x6100, typeid(amw::SWException).name(), "unexpected SW 6100"},
        {0x6C10, typeid(amw::SWException).name(), "unexpected SW 6C10"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sw);
        try {
            checkStatusWord(c.sw);
            EXPECT_STREQ(c.type, "");
        } catch (const QVException& e) {
            EXPECT_STREQ(typeid(e).name(), c.type);
            EXPECT_STREQ(e.what(), c.message);
            if (auto* sw = dynamic_cast<const amw::SWException*>(&e)) {
                EXPECT_EQ(sw->getSW(), c.sw);
            }
        }
    }
}

TEST(PinPadStatusWords, HandledWithAndWithoutNotifier) {
    struct Case {
        std::uint16_t sw;
        bool withNotifier;
        int reason;  // -1: no exception
        bool again;
        std::uint32_t triesAfter;  // 99: unchanged
        const char* calls;
    };
    const Case cases[] = {
        {0x6400, false, 0, false, 99, ""}, {0x6400, true, 0, false, 99, ""},
        {0x6401, false, 1, false, 99, ""}, {0x6401, true, 1, false, 99, "cancelled"},
        {0x6402, false, 2, false, 99, ""}, {0x6402, true, -1, true, 99, "mismatch"},
        {0x6403, false, 3, false, 99, ""}, {0x6403, true, -1, true, 99, "length"},
        {0x6983, false, -1, false, 0, ""}, {0x6983, true, -1, false, 0, "blocked"},
        {0x63C2, false, -1, false, 2, ""}, {0x63C2, true, -1, true, 2, "wrong 2"},
        {0x9000, true, -1, false, 99, ""}, {0x6A80, true, -1, false, 99, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.sw) + (c.withNotifier ? " with notifier" : ""));
        RecordingNotifier notifier;
        std::uint32_t tries = 99;
        try {
            bool again = handlePinPadSW(c.sw, c.withNotifier ? &notifier : nullptr, tries);
            EXPECT_EQ(c.reason, -1);
            EXPECT_EQ(again, c.again);
        } catch (const amw::PinPadException& e) {
            EXPECT_EQ(static_cast<int>(e.getReason()), c.reason);
        }
        EXPECT_EQ(tries, c.triesAfter);
        std::string calls;
        for (const auto& s : notifier.calls)
            calls += (calls.empty() ? "" : ",") + s;
        EXPECT_EQ(calls, c.calls);
    }
}

TEST(Commands, ExactBytesOnTheWire) {
    std::uint8_t major = 0, minor = 0;
    std::uint8_t bytes[59];
    std::uint32_t blockSize = 0, total = 0, available = 0;
    std::uint16_t keyPairs = 0, files = 0;
    const Bytes modulus = concat({hex("C5"), repeat(0x11, 127)});
    StaticBuffer<256> generated;
    const std::uint8_t dir[] = {'m', 's', 'c', 'p'};
    const std::uint8_t file[] = {'c', 'm', 'a', 'p', 'f', 'i', 'l', 'e'};
    struct Case {
        std::function<void(fake::Connection&)> call;
        Response answer;
        std::string command;
    };
    const Case cases[] = {
        {[](auto& c) { apdu::selectApplet(c); }, ok(), "00 A4 04 00 09 F0 51 56 4B 41 01 00 00 41"},
        {[&](auto& c) { apdu::getVersion(c, &major, &minor); }, ok(hex("03 01")),
         applet(apdu::INS_GET_VERSION, "00 00 02")},
        {[&](auto& c) { apdu::getCardSerialNumber(c, bytes); }, ok(hex("0102030405060708")),
         applet(apdu::INS_GET_CARD_SERIAL_NUMBER, "00 00 08")},
        {[&](auto& c) { apdu::getMemoryInfo(c, &blockSize, &total, &available); },
         ok(hex("0100 0200 0010 FFFF")), applet(apdu::INS_GET_INFO, "01 00 08")},
        {[&](auto& c) { apdu::getGacInfo(c, bytes); }, ok(repeat(0x5A, 59)),
         applet(apdu::INS_GET_INFO, "02 00 3B")},
        {[&](auto& c) { apdu::getCardId(c, bytes); }, ok(repeat(0x11, 16)),
         applet(apdu::INS_GET_CARD_ID, "00 00 10")},
        {[&](auto& c) {
             apdu::HeadsRequest heads;
             heads.keyPairs = &keyPairs;
             heads.files = &files;
             apdu::getHeads(c, heads);
         },
         ok(hex("0001 0002 8000 0004 0005")), applet(apdu::INS_GET_HEADS, "00 00 0A")},
        {[](auto& c) { EXPECT_EQ(apdu::getAuthState(c), 7); }, ok(hex("07")),
         applet(apdu::INS_GET_AUTH_STATE, "00 00 01")},
        {[](auto& c) { apdu::deleteObject(c, 0x1234); }, ok(),
         applet(apdu::INS_DELETE_OBJECT, "12 34 00")},
        {[](auto& c) { apdu::cryptInit(c, 0x0140); }, ok(),
         applet(apdu::INS_CRYPT_INIT, "01 40 00")},
        {[](auto& c) { apdu::amendKeypair(c, 0x0140, 5); }, ok(),
         applet(apdu::INS_AMEND_KEYPAIR, "01 40 01 05")},
        {[&](auto& c) { apdu::generateKeyPair(c, buf<256>(hex("01 00 01")), generated); },
         ok(modulus), applet(apdu::INS_GENERATE_KEY_PAIR, "00 00 03 01 00 01")},
        // Create commands lay their conditions out in card order.
        {[](auto& c) { apdu::createKeyPair(c, 7, 2048, 0x00B3, 1, 4); }, ok(),
         applet(apdu::INS_CREATE_OBJECT, "00 01 0D 07 08 00 00 B3 04 01 FF FF FF FF FF FF")},
        {[](auto& c) { apdu::createDataObject(c, 0x0101, 0x0102, 0x0103, 0x0104); }, ok(),
         applet(apdu::INS_CREATE_OBJECT, "00 00 08 01 01 01 02 01 03 01 04")},
        {[](auto& c) { apdu::createCertificate(c, true, 0x0101, 0x0106, 0x0104); }, ok(),
         applet(apdu::INS_CREATE_OBJECT, "00 02 07 01 01 01 01 06 01 04")},
        {[&](auto& c) { apdu::createDirectory(c, dir, sizeof dir, 0xAAAA, 0xBBBB); }, ok(),
         applet(apdu::INS_CREATE_OBJECT, "00 03 0C 6D 73 63 70 00 00 00 00 BB BB AA AA")},
        {[&](auto& c) { apdu::createFile(c, 0x0042, file, sizeof file, 0x0101, 0x0102, 0x0104); },
         ok(),
         applet(apdu::INS_CREATE_OBJECT,
                "00 04 10 00 42 63 6D 61 70 66 69 6C 65 01 01 01 02 01 04")},
        {[](auto& c) { apdu::continueAmendKeyPair(c, 3, 1, 0x0093, 0x10020); }, ok(),
         applet(apdu::INS_CONTINUE_AMEND_KEY_PAIR, "03 01 04 00 93 00 20")},
        // The card keeps the low 16 bits of a size.
        {[](auto& c) { apdu::setMetadataSize(c, 0x10005); }, ok(),
         applet(apdu::INS_SET_METADATA_SIZE, "00 00 02 00 05")},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.command);
        fake::Connection c;
        c.then(k.answer);
        k.call(c);
        ASSERT_EQ(c.commands.size(), 1u);
        EXPECT_EQ(fake::toHex(c.commands[0]), k.command);
        EXPECT_FALSE(c.sensitiveFlags[0]);
    }
    EXPECT_EQ(major, 3);
    EXPECT_EQ(minor, 1);
    EXPECT_EQ(blockSize, 256u);
    EXPECT_EQ(total, 512u * 256u);
    EXPECT_EQ(available, 16u * 256u);
    EXPECT_EQ(keyPairs, 2);
    EXPECT_EQ(files, 5);
    EXPECT_EQ(bytes[0], 0x11);
    EXPECT_EQ(fake::bytes(generated), modulus);
}

TEST(Commands, FixedLengthResponsesOfAnotherLengthAreRefused) {
    fake::Connection c;
    c.then(ok(repeat(0, 15)));
    std::uint8_t id[16];
    expectThrowMessage<InternalErrorException>([&] { apdu::getCardId(c, id); },
                                               lengthMessage(16, 15));
    c.then(ok(hex("01")));
    expectThrowMessage<InternalErrorException>([&] { apdu::selectApplet(c); }, lengthMessage(0, 1));
    c.then(ok(hex("0001 0002")));
    expectThrowMessage<InternalErrorException>([&] { apdu::commitCreationOrUpdateMetadata(c); },
                                               lengthMessage(2, 4));
    // The status word is checked before the length.
    c.then(status(0x6982));
    EXPECT_THROW(apdu::getCardId(c, id), amw::SecurityViolationException);
}

TEST(Commands, ToleratedStatusWords) {
    fake::Connection c;
    c.then(status(0x6A83)).then(status(0x6A83)).then(status(0x6B00)).then(status(0x6B00));
    EXPECT_EQ(apdu::beginReadContent(c, 0x0010), 0);
    EXPECT_NO_THROW(apdu::removeContent(c, 0x0010));
    std::uint8_t record[10];
    EXPECT_FALSE(apdu::getAuthenticateObject(c, 3, record));
    std::uint8_t policy[9];
    EXPECT_FALSE(apdu::getAuthenticateObjectPinPolicy(c, 3, policy, sizeof policy));
    EXPECT_EQ(fake::toHex(c.commands[0]), "80 1E 00 10 02");
    EXPECT_EQ(fake::toHex(c.commands[1]), "80 14 00 10 00");
    EXPECT_EQ(fake::toHex(c.commands[2]), "80 2C 03 00 0A");
    EXPECT_EQ(fake::toHex(c.commands[3]), "80 2C 03 01 09");
    // Elsewhere the same words are failures.
    c.then(status(0x6A83));
    EXPECT_THROW(apdu::deleteObject(c, 1), amw::SWException);
    expectThrowMessage<InternalErrorException>(
        [&] { apdu::getAuthenticateObjectPinPolicy(c, 1, policy, 10); },
        std::string(INTERNAL) +
            "invalid size of buffer in getAuthenticateObjectPinPolicy(): actual = 10, expected = "
            "9");
}

TEST(Commands, WriteDataSendsPiecesOfAtMost255Bytes) {
    fake::Connection c;
    Bytes data(600);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(i * 7);
    apdu::writeData(c, data.data(), data.size());
    ASSERT_EQ(c.commands.size(), 3u);
    const std::size_t sizes[] = {0xFF, 0xFF, 0x5A};
    Bytes joined;
    for (std::size_t i = 0; i < 3; ++i) {
        const Bytes& cmd = c.commands[i];
        EXPECT_EQ(head(cmd, 4), "80 12 00 00");
        EXPECT_EQ(cmd[4], sizes[i]);
        EXPECT_EQ(cmd.size(), 5 + sizes[i]);  // no Le
        joined.insert(joined.end(), cmd.begin() + 5, cmd.end());
    }
    EXPECT_EQ(joined, data);

    fake::Connection none;
    apdu::writeData(none, nullptr, 0);
    EXPECT_TRUE(none.commands.empty());

    // A failing piece stops the transfer.
    fake::Connection failing;
    failing.then(ok()).then(status(0x6F03));
    EXPECT_THROW(apdu::writeData(failing, data.data(), data.size()), amw::CardOutOfMemoryException);
    EXPECT_EQ(failing.commands.size(), 2u);
}

TEST(Commands, ReadDataAsksForWhatRemainsAndInsistsOnIt) {
    fake::Connection c;
    c.then(ok(repeat(0xA1, 255))).then(ok(repeat(0xB2, 45)));
    Bytes buf(300);
    apdu::readData(c, buf.data(), buf.size());
    ASSERT_EQ(c.commands.size(), 2u);
    EXPECT_EQ(fake::toHex(c.commands[0]), "80 1A 00 00 FF");
    EXPECT_EQ(fake::toHex(c.commands[1]), "80 1A 00 00 2D");
    EXPECT_EQ(buf[254], 0xA1);
    EXPECT_EQ(buf[255], 0xB2);
    EXPECT_EQ(buf[299], 0xB2);

    // 256 bytes: 255, then 1 (Le 00 would mean 256).
    fake::Connection exact;
    exact.then(ok(repeat(1, 255))).then(ok(repeat(2, 1)));
    Bytes b256(256);
    apdu::readData(exact, b256.data(), b256.size());
    EXPECT_EQ(exact.commands[1].back(), 0x01);

    // Short and long answers are refused; nothing lands past the buffer.
    for (std::size_t answer : {44u, 46u}) {
        fake::Connection bad;
        bad.then(ok(repeat(0, 255))).then(ok(repeat(0xEE, answer)));
        Bytes small(300 + 8, 0x55);
        expectThrowMessage<InternalErrorException>([&] { apdu::readData(bad, small.data(), 300); },
                                                   lengthMessage(45, static_cast<int>(answer)));
        EXPECT_EQ(small[300], 0x55);
    }
}

TEST(Commands, ImportComponentSplitsOnlyA256ByteModulus) {
    fake::Connection c;
    Bytes n(256);
    for (std::size_t i = 0; i < n.size(); ++i)
        n[i] = static_cast<std::uint8_t>(i);
    apdu::importComponent(c, apdu::COMPONENT_N, n.data(), n.size());
    ASSERT_EQ(c.commands.size(), 2u);
    EXPECT_EQ(head(c.commands[0]), "80 42 06 00 80");
    EXPECT_EQ(head(c.commands[1]), "80 42 06 01 80");
    EXPECT_EQ(Bytes(c.commands[0].begin() + 5, c.commands[0].end()),
              Bytes(n.begin(), n.begin() + 128));
    EXPECT_EQ(Bytes(c.commands[1].begin() + 5, c.commands[1].end()),
              Bytes(n.begin() + 128, n.end()));
    EXPECT_FALSE(c.sensitiveFlags[0]);

    // 128 bytes go whole (other components' headers are checked with the token).
    c.commands.clear();
    apdu::importComponent(c, apdu::COMPONENT_N, n.data(), 128);
    ASSERT_EQ(c.commands.size(), 1u);
    EXPECT_EQ(c.commands[0].size(), 5u + 128u);

    c.commands.clear();
    const Bytes padded = hex("00 01 00 01");
    expectThrowMessage<InternalErrorException>(
        [&] { apdu::importComponent(c, apdu::COMPONENT_E, padded.data(), padded.size()); },
        std::string(INTERNAL) +
            "Public exponent has an even length and has zero at the beginning (remove padding)");
    EXPECT_TRUE(c.commands.empty());
}

TEST(Commands, WrongLengthAnswersAreResentWithTheLengthTheCardGave) {
    fake::Connection c;
    c.then(status(0x6C04)).then(ok(hex("00 01 00 01")));
    std::uint8_t e[256];
    std::size_t size = sizeof e;
    apdu::getComponent(c, apdu::COMPONENT_E, e, &size);
    ASSERT_EQ(c.commands.size(), 2u);
    EXPECT_EQ(fake::toHex(c.commands[0]), "80 44 07 00 03");
    EXPECT_EQ(fake::toHex(c.commands[1]), "80 44 07 00 04");
    EXPECT_EQ(size, 4u);

    fake::Connection slots;
    slots.then(status(0x6C06)).then(ok(hex("00 0400 01 0800")));
    apdu::SlotInfo info[4];
    ASSERT_EQ(apdu::getJckpInfo(slots, info, 4), 2u);
    EXPECT_EQ(fake::toHex(slots.commands[0]), "80 06 03 00 00");
    EXPECT_EQ(fake::toHex(slots.commands[1]), "80 06 03 00 06");
    EXPECT_FALSE(info[0].flag);
    EXPECT_EQ(info[0].keySize, 1024);
    EXPECT_TRUE(info[1].flag);
    EXPECT_EQ(info[1].keySize, 2048);

    fake::Connection odd;
    odd.then(ok(hex("00 04 00 01")));
    expectThrowMessage<InternalErrorException>(
        [&] { apdu::getJckpInfo(odd, info, 4); },
        std::string(INTERNAL) + "unexpected response length in APDU (JCKP INFO) 4 bytes");
    odd.then(ok(repeat(0, 15)));
    expectThrowMessage<InternalErrorException>(
        [&] { apdu::getJckpInfo(odd, info, 4); },
        std::string(INTERNAL) +
            "insufficient count of SlotInfo for storing information about key slots in APDU (JCKP "
            "INFO) requested = 5, actual = 4");
}

TEST(Commands, CacheFreshnessOfAnotherLengthIsNotAnError) {
    fake::Connection c;
    std::uint8_t block[47];
    c.then(ok(repeat(0x42, 47))).then(status(0x6C20)).then(ok(repeat(0, 40))).then(status(0x6982));
    EXPECT_TRUE(apdu::getCacheFreshness(c, block, sizeof block));
    EXPECT_EQ(block[46], 0x42);
    EXPECT_FALSE(apdu::getCacheFreshness(c, block, sizeof block));
    EXPECT_FALSE(apdu::getCacheFreshness(c, block, sizeof block));
    EXPECT_THROW(apdu::getCacheFreshness(c, block, sizeof block), amw::SecurityViolationException);
    EXPECT_EQ(fake::toHex(c.commands[0]), "80 0C 00 00 2F");
    apdu::setCacheFreshness(c, block, sizeof block);
    EXPECT_EQ(c.commands.back().size(), 5u + 47u);
    EXPECT_EQ(head(c.commands.back()), "80 0E 00 00 2F");
}

TEST(Commands, CryptSendsChainedBlocksAndTakesTheResultFromTheLast) {
    fake::Connection c;
    Bytes input(256);
    for (std::size_t i = 0; i < input.size(); ++i)
        input[i] = static_cast<std::uint8_t>(255 - i);
    Bytes result(256);
    for (std::size_t i = 0; i < result.size(); ++i)
        result[i] = static_cast<std::uint8_t>(i ^ 0x5A);
    c.then(ok()).then(ok(result));
    std::uint8_t out[256] = {};
    apdu::crypt(c, input.data(), false, nullptr, 0, true);
    apdu::crypt(c, input.data() + 128, true, out, 256, true);
    ASSERT_EQ(c.commands.size(), 2u);
    for (const Bytes& cmd : c.commands)
        EXPECT_EQ(cmd.size(), 134u);
    EXPECT_EQ(head(c.commands[0]), "80 48 00 00 80");
    EXPECT_EQ(head(c.commands[1]), "80 4A 00 00 80");
    EXPECT_EQ(c.commands[0].back(), 0x00);
    EXPECT_EQ(c.commands[1].back(), 0x00);  // 256 as Le
    EXPECT_EQ(Bytes(c.commands[1].begin() + 5, c.commands[1].end() - 1),
              Bytes(input.begin() + 128, input.end()));
    EXPECT_TRUE(c.sensitiveFlags[0] && c.sensitiveFlags[1]);
    EXPECT_EQ(Bytes(out, out + 256), result);

    fake::Connection single;
    single.then(ok(repeat(0x77, 128)));
    apdu::crypt(single, input.data(), true, out, 128, false);
    EXPECT_EQ(single.commands[0].back(), 0x80);
    EXPECT_FALSE(single.sensitiveFlags[0]);

    fake::Connection shortAnswer;
    shortAnswer.then(ok(repeat(0x77, 127)));
    expectThrowMessage<InternalErrorException>(
        [&] { apdu::crypt(shortAnswer, input.data(), true, out, 128, false); },
        lengthMessage(128, 127));
    expectThrowMessage<InternalErrorException>(
        [&] { apdu::crypt(shortAnswer, input.data(), true, out, 64, false); },
        std::string(INTERNAL) + "apdu::crypt() unexpected signedDataSize (64)");
    expectThrowMessage<InternalErrorException>(
        [&] { apdu::crypt(shortAnswer, input.data(), true, nullptr, 128, false); },
        std::string(INTERNAL) +
            "apdu::crypt() final crypto operation needs non-NULL signedData parameter");
    EXPECT_EQ(shortAnswer.commands.size(), 1u);
}

TEST(Authenticate, TypedPinsKeysAndSessionPins) {
    const std::uint32_t PIN = amw::AuthenticationObject::PIN, KEY = amw::AuthenticationObject::KEY;
    fake::Connection c;
    std::uint32_t tries = 77;
    const Bytes pin = {'1', '2', '3', '4', '5', '6'};
    EXPECT_EQ(authenticate(c, PIN, pin, &tries), amw::AUTHENTICATION_SUCCESS);
    EXPECT_EQ(fake::toHex(c.commands[0]), "80 20 01 00 10 31 32 33 34 35 36" + zeros(10));
    EXPECT_TRUE(c.sensitiveFlags[0]);

    const Bytes session = hex("0102030405060708");
    apdu::authenticate(c, 2, true, amw::AuthenticationObject::PIN, session.data(), session.size(),
                       &tries, nullptr);
    EXPECT_EQ(fake::toHex(c.commands[1]), "80 20 02 02 08 01 02 03 04 05 06 07 08");
    apdu::authenticate(c, 3, false, amw::AuthenticationObject::KEY, session.data(), session.size(),
                       &tries, nullptr);
    EXPECT_EQ(fake::toHex(c.commands[2]), "80 20 03 00 08 01 02 03 04 05 06 07 08");

    // Refused without a command: too long a PIN, a key of the wrong size, no data.
    const Bytes longPin(17, '1');
    c.commands.clear();
    EXPECT_EQ(authenticate(c, PIN, longPin, &tries), amw::AUTHENTICATION_WRONG_PIN);
    EXPECT_EQ(authenticate(c, KEY, pin, &tries), amw::AUTHENTICATION_WRONG_PIN);
    EXPECT_EQ(
        apdu::authenticate(c, 1, true, amw::AuthenticationObject::KEY, nullptr, 8, &tries, nullptr),
        amw::AUTHENTICATION_WRONG_PIN);
    EXPECT_TRUE(c.commands.empty());

    struct Case {
        std::uint16_t sw;
        amw::AuthenticationResult result;
        std::uint32_t tries;
    };
    const Case cases[] = {{0x63C2, amw::AUTHENTICATION_WRONG_PIN, 2},
                          {0x63C0, amw::AUTHENTICATION_WRONG_PIN, 0},
                          {0x6983, amw::AUTHENTICATION_PIN_BLOCKED, 0},
                          {0x6985, amw::AUTHENTICATION_WRONG_PIN, amw::TRIES_UNKNOWN},
                          {0x6F10, amw::AUTHENTICATION_WRONG_PIN, amw::TRIES_UNKNOWN}};
    for (const Case& k : cases) {
        SCOPED_TRACE(k.sw);
        c.then(status(k.sw));
        tries = 55;
        EXPECT_EQ(authenticate(c, PIN, pin, &tries), k.result);
        EXPECT_EQ(tries, k.tries);
    }
    c.then(status(0x6A88));
    EXPECT_THROW(authenticate(c, PIN, pin, &tries), amw::SWException);
}

TEST(Authenticate, PinPadLoopOffersTheEntryAgainOnlyWithANotifier) {
    const std::uint32_t PIN = amw::AuthenticationObject::PIN;
    // With a notifier: wrong PIN (2 left), then right.
    fake::Connection c;
    c.pinPad = true;
    c.pinPadAnswers = {0x63C2, 0x9000};
    RecordingNotifier notifier;
    std::uint32_t tries = 9;
    EXPECT_EQ(authenticate(c, PIN, {}, &tries, &notifier), amw::AUTHENTICATION_SUCCESS);
    EXPECT_EQ(notifier.calls,
              (std::vector<std::string>{"prompt 0", "done", "wrong 2", "prompt 2", "done"}));
    ASSERT_EQ(c.pinPadCalls.size(), 2u);
    EXPECT_EQ(pinPad(c.pinPadCalls[0]), "verify 5: 80 20 01 00 10" + zeros(16));
    EXPECT_TRUE(c.commands.empty());

    // Blocked ends the loop at once.
    fake::Connection blocked;
    blocked.pinPad = true;
    blocked.pinPadAnswers = {0x63C1, 0x6983};
    RecordingNotifier second;
    EXPECT_EQ(authenticate(blocked, PIN, {}, &tries, &second), amw::AUTHENTICATION_PIN_BLOCKED);
    EXPECT_EQ(tries, 0u);
    EXPECT_EQ(second.calls, (std::vector<std::string>{"prompt 0", "done", "wrong 1", "prompt 1",
                                                      "done", "blocked"}));

    // Without a notifier one attempt decides.
    fake::Connection once;
    once.pinPad = true;
    once.pinPadAnswers = {0x63C2};
    EXPECT_EQ(authenticate(once, PIN, {}, &tries), amw::AUTHENTICATION_WRONG_PIN);
    EXPECT_EQ(tries, 2u);
    once.pinPadAnswers = {0x6401};
    EXPECT_THROW(authenticate(once, PIN, {}, &tries), amw::PinPadException);

    // A session PIN never goes through the pad.
    const Bytes session(8, 1);
    once.then(ok());
    apdu::authenticate(once, 1, true, amw::AuthenticationObject::KEY, session.data(), 8, &tries,
                       nullptr);
    EXPECT_EQ(once.commands.size(), 1u);
}

TEST(ChangeAndUnblock, PinPadStructuresAndPlainData) {
    // changePin through the pad: new PIN and confirmation, both at offset 5.
    fake::Connection c;
    c.pinPad = true;
    c.pinPadAnswers = {0x6402, 0x9000};
    RecordingNotifier notifier;
    apdu::changePin(c, 1, true, nullptr, 0, &notifier);
    ASSERT_EQ(c.pinPadCalls.size(), 2u);
    EXPECT_EQ(pinPad(c.pinPadCalls[0]), "modify 0 1 5 5: 80 26 00 01 10" + zeros(16));
    EXPECT_EQ(notifier.calls[2], "mismatch");
    c.pinPadAnswers = {0x6402};
    EXPECT_THROW(apdu::changePin(c, 1, true, nullptr, 0, nullptr), amw::PinPadException);

    // Without a pad (or for a key) the data travels in the command.
    fake::Connection plain;
    const Bytes pin = {'9', '8', '7', '6'};
    apdu::changePin(plain, 2, true, pin.data(), pin.size(), nullptr);
    EXPECT_EQ(fake::toHex(plain.commands[0]), "80 26 00 02 10 39 38 37 36" + zeros(12));
    const Bytes key(24, 0xAB);
    c.then(ok());
    apdu::changePin(c, 3, false, key.data(), key.size(), nullptr);
    EXPECT_EQ(c.commands.back(), concat({hex("80 26 00 03 18"), key}));
    EXPECT_TRUE(c.sensitiveFlags.back());
    c.then(status(0x6F18));
    EXPECT_THROW(apdu::changePin(c, 3, false, key.data(), 24, nullptr),
                 amw::PinPolicyViolationException);

    // unblockPin through the pad, the three combinations: a KEY's value travels
    // in the command, a PIN is entered on the pad.
    const std::uint32_t PIN = amw::AuthenticationObject::PIN, KEY = amw::AuthenticationObject::KEY;
    const Bytes response(8, 0x11), target(24, 0x3C);
    const struct {
        std::uint32_t authType, targetType;
        std::string call;
    } cases[] = {
        {PIN, PIN, "modify 1 1 5 21: 80 28 02 01 20" + zeros(32)},
        {PIN, KEY, "verify 5: 80 28 02 01 28" + zeros(16) + " " + fake::toHex(target)},
        {KEY, PIN, "modify 0 1 0 13: 80 28 02 01 18 " + fake::toHex(response) + zeros(16)},
    };
    for (const auto& k : cases) {
        fake::Connection pad;
        pad.pinPad = true;
        pad.pinPadAnswers = {0x9000};
        const Bytes authData = k.authType == KEY ? response : Bytes();
        const Bytes targetData = k.targetType == KEY ? target : Bytes();
        std::uint32_t tries = 0;
        EXPECT_EQ(
            apdu::unblockPin(pad, 2, k.authType, authData.data(), authData.size(), 1, k.targetType,
                             targetData.data(), targetData.size(), &tries, nullptr),
            amw::AUTHENTICATION_SUCCESS);
        ASSERT_EQ(pad.pinPadCalls.size(), 1u);
        EXPECT_EQ(pinPad(pad.pinPadCalls[0]), k.call);
    }

    // Without a pad: authenticating value then target value, each in its own width.
    fake::Connection noPad;
    std::uint32_t tries = 0;
    const Bytes puk = {'1', '2', '3', '4', '5', '6', '7', '8'};
    const Bytes newPin = {'4', '3', '2', '1'};
    noPad.then(status(0x63C4));
    EXPECT_EQ(apdu::unblockPin(noPad, 2, PIN, puk.data(), puk.size(), 1, PIN, newPin.data(),
                               newPin.size(), &tries, nullptr),
              amw::AUTHENTICATION_WRONG_PIN);
    EXPECT_EQ(tries, 4u);
    EXPECT_EQ(noPad.commands[0],
              concat({hex("80 28 02 01 20"), puk, repeat(0, 8), newPin, repeat(0, 12)}));
    // A key of the wrong width: nothing sent, tries unknown.
    EXPECT_EQ(apdu::unblockPin(noPad, 2, KEY, puk.data(), 7, 1, PIN, newPin.data(), newPin.size(),
                               &tries, nullptr),
              amw::AUTHENTICATION_WRONG_PIN);
    EXPECT_EQ(tries, amw::TRIES_UNKNOWN);
    EXPECT_EQ(noPad.commands.size(), 1u);
}
