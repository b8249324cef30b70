// The process-wide logger as the module uses it: enabled through a
// configuration file named by BRISANE_CONF before the first record.
#include "trace.h"
#include "configuration.h"
#include "processlog.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <regex>
#include <stdexcept>
#include <thread>

using logrecords::emptyLine;
using logrecords::EnabledLog;
using logrecords::newLines;
using logrecords::record;

QV_TRACE_UNIT("AMW", "libamw/src/example");

namespace {

const auto* const environment = ::testing::AddGlobalTestEnvironment(new EnabledLog);

TEST(ProcessLogger, FileIsNamedAfterTheExecutableAndStartsWithTheBuildRecord) {
    const Logger& logger = Logger::instance();
    ASSERT_TRUE(logger.isEnabled());
    const std::string& name = logger.getFileName();
    EXPECT_TRUE(std::regex_match(
        name,
        std::regex(EnabledLog::dir().path() + "/qvpkcs11-common_trace_test-[0-9]{17,20}\\.log")))
        << name;
    std::vector<std::string> lines = newLines();
    ASSERT_EQ(lines.size(), 2u);
    std::size_t stamp = logrecords::stampLength(lines[0]);
    ASSERT_NE(stamp, std::string::npos);
    // "BUILT ON Mmm dd yyyy hh:mm:ss" and the empty line its "\n" makes.
    EXPECT_TRUE(std::regex_match(
        lines[0].substr(stamp),
        std::regex(
            "LOGGER +BUILT ON [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2}")))
        << lines[0];
    EXPECT_EQ(lines[1], "");
}

void inner() {
    TraceScope trace("AMW", "amw::CachedToken::refreshCache");
    QV_TRACE_ARG("AMW", "counter", numberText(3));
    throw std::runtime_error("unwinds through the bracket");
}

TEST(ProcessLogger, TraceScopeBracketsEveryExitPath) {
    newLines();
    {
        TraceScope outer("PKCS11", "C_Sign");
        QV_TRACE_ARG("PKCS11", "hSession", numberText(1));
        try {
            inner();
        } catch (const std::runtime_error&) {
        }
        QV_TRACE_OUT("PKCS11", "*pulSignatureLen", numberText(256));
    }
    logrecords::expectLines(
        newLines(),
        {record("PKCS11", 0, "Entering C_Sign()"), record("PKCS11", 1, "hSession = 1 [0x00000001]"),
         record("AMW", 1, "Entering amw::CachedToken::refreshCache()"),
         record("AMW", 2, "counter = 3 [0x00000003]"),
         record("AMW", 1, "Leaving amw::CachedToken::refreshCache"),
         record("PKCS11", 1, "[OUT] *pulSignatureLen = 256 [0x00000100]"),
         record("PKCS11", 0, "Leaving C_Sign"), emptyLine()});
    EXPECT_EQ(Logger::depth(), 0);
}

TEST(ProcessLogger, DepthIsPerThread) {
    newLines();
    TraceScope outer("PKCS11", "C_WaitForSlotEvent");
    std::thread([] {
        TraceScope other("CTL", "ctl::PcScEventListener::wait");
        QV_TRACE_RETURN_VALUE("CTL", "SCardGetStatusChange(context, INFINITE, rs, 2)", 0x80100002u);
    }).join();
    logrecords::expectLines(
        newLines(),
        {record("PKCS11", 0, "Entering C_WaitForSlotEvent()"),
         record("CTL", 0, "Entering ctl::PcScEventListener::wait()"),
         record("CTL", 1,
                "SCardGetStatusChange(context, INFINITE, rs, 2) return value: 0x80100002"),
         record("CTL", 0, "Leaving ctl::PcScEventListener::wait"), emptyLine()});
}

int requireLine = 0;

void unitFunction(const int* total, std::uint16_t keySize, bool trusted) {
    QV_ENTER("amw::Example::unitFunction");
    QV_TRACE_VALUE(keySize);
    QV_TRACE_VALUE(trusted);
    requireLine = __LINE__ + 1;
    QV_REQUIRE(total);
}

TEST(ProcessLogger, UnitMacrosNameTheFunctionSourceAndArgument) {
    newLines();
    try {
        unitFunction(nullptr, 2048, false);
        FAIL() << "no exception";
    } catch (const InvalidArgumentException& e) {
        EXPECT_EQ(
            std::string(e.what()),
            "Null pointer exception <total> [amw::Example::unitFunction() libamw/src/example:" +
                std::to_string(requireLine) + "]");
    }
    logrecords::expectLines(
        newLines(),
        {record("AMW", 0, "Entering amw::Example::unitFunction()"),
         record("AMW", 1, "keySize = 2048 [0x00000800]"), record("AMW", 1, "trusted = false"),
         record("AMW", 0, "Leaving amw::Example::unitFunction"), emptyLine()});
}

}  // namespace
