// What the command layer writes to the trace log: secrets never, headers and
// status words always, everything else as wrapped dumps.
#include "amwkalvik/apdu.h"
#include "exceptions.h"
#include "fakeconnection.h"
#include "processlog.h"

#include <gtest/gtest.h>

using namespace fake;
using logrecords::emptyLine;
using logrecords::newLines;
using logrecords::record;
using namespace amwkalvik;

namespace {

const auto* const environment = ::testing::AddGlobalTestEnvironment(new logrecords::EnabledLog);

const char* const A = "AMWKALVIK_APDU";

// The records of one command function: entry, its own lines at depth 1, exit.
std::vector<logrecords::Expected> call(const std::string& function,
                                       const std::vector<std::string>& lines) {
    std::vector<logrecords::Expected> out = {
        record(A, 0, "Entering amwkalvik::apdu::" + function + "()")};
    for (const std::string& line : lines)
        out.push_back(record(A, 1, line));
    out.push_back(record(A, 0, "Leaving amwkalvik::apdu::" + function));
    out.push_back(emptyLine());
    return out;
}

std::vector<logrecords::Expected> operator+(std::vector<logrecords::Expected> a,
                                            const std::vector<logrecords::Expected>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace

TEST(ApduLog, SensitiveExchangesShowOnlyTheHeaderAndTheStatusWord) {
    ASSERT_TRUE(Logger::enabled());
    newLines();
    fake::Connection c;
    c.then(status(0x63C2));
    const Bytes pin = {'1', '2', '3', '4', '5', '6'};
    std::uint32_t tries = 0;
    apdu::authenticate(c, 1, false, amw::AuthenticationObject::PIN, pin.data(), pin.size(), &tries,
                       nullptr);
    logrecords::expectLines(
        newLines(), call("authenticate", {"role = 1 [0x00000001]", "sessionPin = false",
                                          "type = amw::AuthenticationObject::PIN[0]",
                                          "cc->isPinPadAvailable() = false",
                                          "-> 80 20 01 00 ******", "<- ******", "SW = 63C2"}));

    // A PIN that cannot be sent is reported, and nothing goes to the card.
    const Bytes tooLong(17, '1');
    const std::size_t sent = c.commands.size();
    apdu::authenticate(c, 1, false, amw::AuthenticationObject::PIN, tooLong.data(), tooLong.size(),
                       &tries, nullptr);
    std::vector<std::string> refused = newLines();
    ASSERT_EQ(refused.size(), 8u);
    EXPECT_EQ(logrecords::compareLine(refused[5], record(A, 1, "invalid auth data")), "");
    EXPECT_EQ(c.commands.size(), sent);

    // Session PINs coming back from the card are secrets too.
    c.then(ok(hex("0102030405060708")));
    StaticBuffer<128> sessionPin;
    apdu::generateSessionPin(c, 1, &sessionPin);
    const std::vector<std::string> lines = newLines();
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(logrecords::compareLine(lines[2], record(A, 1, "-> 80 2E 01 00 ******")), "");
    EXPECT_EQ(logrecords::compareLine(lines[3], record(A, 1, "<- ******")), "");
    EXPECT_EQ(logrecords::compareLine(lines[4], record(A, 1, "SW = 9000")), "");
}

TEST(ApduLog, PlainExchangesAreDumpedSixteenBytesALine) {
    newLines();
    fake::Connection c;
    c.then(ok(hex("03 01")));
    std::uint8_t major, minor;
    apdu::getVersion(c, &major, &minor);
    const Bytes id(16, 0xAB);
    apdu::setCardId(c, id.data());
    // The label's width indents the continuation of a wrapped dump.
    logrecords::expectLines(
        newLines(),
        call("getVersion", {"-> 80 02 00 00 02", "<- 03 01", "SW = 9000"}) +
            call("setCardId", {"cardId =  AB AB AB AB AB AB AB AB AB AB AB AB AB AB AB AB",
                               "-> 80 52 00 00 10 AB AB AB AB AB AB AB AB AB AB AB",
                               "   AB AB AB AB AB", "<-", "SW = 9000"}));
}

TEST(ApduLog, KeyComponentsAreNamedAndOnlyThePublicOnesShown) {
    newLines();
    fake::Connection c;
    const Bytes exponent = hex("01 00 01");
    apdu::importComponent(c, apdu::COMPONENT_E, exponent.data(), exponent.size());
    const Bytes prime(64, 0xC3);
    apdu::importComponent(c, apdu::COMPONENT_P, prime.data(), prime.size());
    apdu::importComponent(c, 9, exponent.data(), 1);
    logrecords::expectLines(
        newLines(),
        call("importComponent", {"component = amwkalvik::apdu::COMPONENT_E[7]", "data =  01 00 01",
                                 "-> 80 42 07 00 03 01 00 01", "<-", "SW = 9000"}) +
            call("importComponent", {"component = amwkalvik::apdu::COMPONENT_P[1]", "data = ******",
                                     "-> 80 42 01 00 ******", "<- ******", "SW = 9000"}) +
            call("importComponent", {"component = UNKNOWN", "data = ******",
                                     "-> 80 42 09 00 ******", "<- ******", "SW = 9000"}));
    EXPECT_EQ(c.sensitiveFlags, (std::vector<bool>{false, true, true}));
}

TEST(ApduLog, TransmitErrorsAreRecordedAndPassedOn) {
    newLines();
    BrokenConnection broken(0x80100069);
    EXPECT_THROW(apdu::activateCard(broken), ctl::CtlException);
    logrecords::expectLines(newLines(),
                            call("activateCard", {"-> 80 30 00 00 00", "Transmit error"}));
}
