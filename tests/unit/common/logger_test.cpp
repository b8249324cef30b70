#include "logger.h"

#include "logrecords.h"
#include "platform.h"
#include "tempdir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <string>
#include <vector>

using logrecords::emptyLine;
using logrecords::record;

namespace {

class LoggerFile : public ::testing::Test {
protected:
    TempDir dir;
    std::string path = dir.file("trace.log");
    Logger logger{true, path};
};

TEST_F(LoggerFile, PrefixCarriesThreadIdAndLocalTime) {
    logger.log("LOGGER", "x");
    std::vector<std::string> lines = logrecords::readLines(path);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("T" + std::to_string(currentThreadId()) + " ", 0), 0u);
    ASSERT_NE(logrecords::stampLength(lines[0]), std::string::npos);
}

TEST_F(LoggerFile, DumpLimitIs6144Bytes) {
    std::vector<unsigned char> data(6145, 0xAB);
    logger.dump("AMW", "data = ", data.data(), 6144, false);
    logger.dump("AMW", "data = ", data.data(), 6145, false);
    logger.dump("AMW", "data = ", nullptr, 3, true);
    std::string all;
    for (int i = 0; i < 6144; ++i)
        all += " AB";
    logrecords::expectFile(
        path, {record("AMW", 0, "data = " + all),
               record("AMW", 0, "data = extremely large buffer, not logged (len = 0x1801)"),
               record("AMW", 0, "data = NULL")});
}

TEST_F(LoggerFile, WrappedDumpAlignsTheContinuationUnderTheFirstByte) {
    unsigned char data[33];
    for (int i = 0; i < 33; ++i)
        data[i] = static_cast<unsigned char>(i);
    logger.dump("AMWKALVIK_APDU", "APDU = ", data, 17, true);
    logger.dump("AMWKALVIK_APDU", "R = ", data, 16, true);  // exactly one line
    Logger::enter();
    logger.dump("AMWKALVIK_APDU", "X = ", data, 33, true);
    Logger::leave();
    logrecords::expectFile(
        path,
        {record("AMWKALVIK_APDU", 0, "APDU =  00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F"),
         record("AMWKALVIK_APDU", 0, "        10"),
         record("AMWKALVIK_APDU", 0, "R =  00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F"),
         record("AMWKALVIK_APDU", 1, "X =  00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F"),
         record("AMWKALVIK_APDU", 1, "     10 11 12 13 14 15 16 17 18 19 1A 1B 1C 1D 1E 1F"),
         record("AMWKALVIK_APDU", 1, "     20")});
}

TEST_F(LoggerFile, DumpWithTextShowsAsciiAndDotsOnOneLine) {
    const unsigned char data[] = {'O', 'K', 0x7F, 0x80, 0xFF, '1'};
    logger.dumpWithText("CTL", "atr = ", data, sizeof data);
    std::vector<unsigned char> big(6145);
    logger.dumpWithText("CTL", "big = ", big.data(), big.size());
    logrecords::expectFile(
        path, {record("CTL", 0, std::string("atr =  4F 4B 7F 80 FF 31 | OK\x7F..1")),
               record("CTL", 0, "big = extremely large buffer, not logged (len = 0x1801)")});
}

TEST_F(LoggerFile, FormatIsCutAt1023CharactersButArgumentsAreNot) {
    std::string longFormat(1100, 'f');
    logger.log("PKCS11", "%s", longFormat.c_str());
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
    logger.log("PKCS11", longFormat.c_str());
#pragma GCC diagnostic pop
    logrecords::expectFile(
        path, {record("PKCS11", 0, longFormat), record("PKCS11", 0, std::string(1023, 'f'))});
}

TEST_F(LoggerFile, FileIsTheUsersAlone) {
    const mode_t previous = ::umask(0);
    logger.log("LOGGER", "x");
    ::umask(previous);
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST(Logger, DisabledLoggerWritesNothing) {
    TempDir dir;
    Logger off(false, dir.file("off.log"));
    off.log("PKCS11", "x %d", 1);
    off.dump("PKCS11", "y", "abc", 3, true);
    off.dumpWithText("PKCS11", "z", "abc", 3);
    EXPECT_FALSE(std::ifstream(dir.file("off.log")).good());
}

TEST(Platform, FileTimeCountsFrom1601InTenthsOfMicroseconds) {
    std::uint64_t ft = currentFileTime();
    std::uint64_t unixSeconds = static_cast<std::uint64_t>(std::time(nullptr));
    std::uint64_t fromFileTime = ft / 10000000ULL - 11644473600ULL;
    EXPECT_LE(fromFileTime > unixSeconds ? fromFileTime - unixSeconds : unixSeconds - fromFileTime,
              2u);
}

}  // namespace
