// With `disablepinpad` set, a PIN pad reader is never asked for its features.
#include <gtest/gtest.h>

#include <cstdlib>

#include "ctlhelpers.h"
#include "processlog.h"

namespace ctltest {
namespace {

const auto* const environment = ::testing::AddGlobalTestEnvironment(
    new logrecords::EnabledLog([](const TempDir&) { return "disablepinpad = 1\n"; }));

class DisabledTest : public testpcsc::ServiceTest {};

TEST_F(DisabledTest, PinPadReaderIsNotUsed) {
    svc.addReader("Pad",
                  testpcsc::ReaderOptions{testpcsc::PinPadFeatures::VerifyAndModify, std::nullopt});
    svc.insertCard("Pad", testpcsc::test::swCard(0x90, 0x00));
    auto c = connect("Pad");
    EXPECT_FALSE(c->isPinPadAvailable());
    EXPECT_EQ(svc.callCount(testpcsc::Function::Control), 0u);
    const Bytes apdu = {0x80, 0x20, 0x00, 0x01, 0x08, 0xFF, 0xFF,
                        0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(failureCode([&] { c->pinPadVerify(5, apdu.data(), apdu.size()); }), 0x80100022u);

    std::vector<std::string> lines = logrecords::readLines(Logger::instance().getFileName());
    std::size_t at = 0;
    while (at < lines.size() &&
           lines[at].find("Entering ctl::PcScCardConnection::checkPinPadSupport()") ==
               std::string::npos)
        ++at;
    ASSERT_LT(at + 2, lines.size());
    EXPECT_EQ(logrecords::compareLine(lines[at + 1],
                                      logrecords::record("CTL", 3, "PINPAD explicitly DISABLED")),
              "");
    EXPECT_EQ(
        logrecords::compareLine(
            lines[at + 2],
            logrecords::record("CTL", 2, "Leaving ctl::PcScCardConnection::checkPinPadSupport")),
        "");
}

}  // namespace
}  // namespace ctltest
