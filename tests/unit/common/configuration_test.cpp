#include "configuration.h"

#include "tempdir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>
#include <cstdlib>
#include <string>

namespace {

// Sets or unsets an environment variable for one scope.
class EnvVar {
public:
    EnvVar(const char* name, const char* value) : name_(name) {
        const char* old = std::getenv(name);
        hadOld_ = old != nullptr;
        if (hadOld_)
            old_ = old;
        if (value)
            ::setenv(name, value, 1);
        else
            ::unsetenv(name);
    }
    ~EnvVar() {
        if (hadOld_)
            ::setenv(name_, old_.c_str(), 1);
        else
            ::unsetenv(name_);
    }

private:
    const char* name_;
    bool hadOld_;
    std::string old_;
};

TEST(Configuration, MissingFileKeepsEveryDefault) {
    EnvVar home("HOME", "/home/tester");
    Configuration c("/nonexistent/brisane.txt");
    EXPECT_EQ(c.getLogPath(), "");
    EXPECT_FALSE(c.isLoggingEnabled());
    EXPECT_FALSE(c.isPinPadDisabled());
    EXPECT_FALSE(c.isPinPadDialogDisabled());
    EXPECT_EQ(c.getSlotCount(), 6u);
    EXPECT_EQ(c.getCacheDirectory(), "/home/tester/.amwcache/");
}

TEST(Configuration, ReadsEveryKeyWithSurroundingBlanks) {
    TempDir dir;
    Configuration c(dir.write("brisane.txt",
                              "  loglevel =\t5 \n"
                              "logpath = /var/log/brisane\n"
                              "disablepinpad=1\n"
                              "disablepinpaddlg = 2\n"
                              "\tpkcs11.slots  =  9  \n"
                              "cache=/srv/cache/\n"));
    EXPECT_TRUE(c.isLoggingEnabled());
    EXPECT_EQ(c.getLogPath(), "/var/log/brisane/");
    EXPECT_TRUE(c.isPinPadDisabled());
    EXPECT_TRUE(c.isPinPadDialogDisabled());
    EXPECT_EQ(c.getSlotCount(), 9u);
    EXPECT_EQ(c.getCacheDirectory(), "/srv/cache/");
}

TEST(Configuration, IgnoresMalformedLinesAndLastOccurrenceWins) {
    TempDir dir;
    Configuration c(dir.write("brisane.txt",
                              "# a comment = is just an unknown key\n"
                              "garbage without equals sign\n"
                              "=5\n"
                              "loglevel=\n"
                              "pkcs11.slots=3\n"
                              "pkcs11.slots=12\n"
                              "LOGLEVEL=1\n"
                              "logpath=/a=b=c\n"
                              "\n"));
    EXPECT_FALSE(c.isLoggingEnabled());  // empty value ignored, keys are case-sensitive
    EXPECT_EQ(c.getSlotCount(), 12u);
    EXPECT_EQ(c.getLogPath(), "/a=b=c/");  // value runs from the first '=' to the end
}

TEST(Configuration, SlotCountAndLogLevelValues) {
    TempDir dir;
    struct {
        const char* content;
        std::uint32_t slots;
        bool logging;
    } cases[] = {
        {"pkcs11.slots=-3\n", 6, false},
        {"pkcs11.slots=0\n", 6, false},
        {"pkcs11.slots=abc\n", 6, false},
        {"pkcs11.slots=+0\n", 6, false},
        {"pkcs11.slots=7slots\n", 7, false},  // digits up to the first non-digit
        {"pkcs11.slots=64\n", 64, false},
        {"pkcs11.slots=65\n", 64, false},
        {"pkcs11.slots=10000000\n", 64, false},
        {"loglevel=0\n", 6, false},
        {"loglevel=verbose\n", 6, false},
        {"loglevel=5\n", 6, true},
        {"loglevel=-1\n", 6, true},
        {"loglevel=1\r\n", 6, true},
    };
    for (const auto& k : cases) {
        Configuration c(dir.write("brisane.txt", k.content));
        EXPECT_EQ(c.getSlotCount(), k.slots) << k.content;
        EXPECT_EQ(c.isLoggingEnabled(), k.logging) << k.content;
    }
}

// The default follows the first locale variable set; "locale=" in the file
// overrides it only when exactly "cs" or "en".
TEST(Configuration, LanguageFromLocaleVariablesAndFile) {
    TempDir dir;
    struct {
        const char* all;
        const char* messages;
        const char* lang;
        const char* content;
        std::int32_t language;
    } cases[] = {
        {nullptr, nullptr, "cs_CZ.UTF-8", "", Configuration::LANGUAGE_CZECH},
        {nullptr, "en_GB.UTF-8", "cs_CZ.UTF-8", "", Configuration::LANGUAGE_ENGLISH},
        {"cs_CZ", "en_GB.UTF-8", "en_US", "", Configuration::LANGUAGE_CZECH},
        {"", "cs", nullptr, "", Configuration::LANGUAGE_CZECH},
        {nullptr, nullptr, nullptr, "", Configuration::LANGUAGE_ENGLISH},
        {nullptr, nullptr, "cs_CZ.UTF-8", "locale=en\n", Configuration::LANGUAGE_ENGLISH},
        {nullptr, nullptr, "cs_CZ.UTF-8", "locale=EN\n", Configuration::LANGUAGE_CZECH},
        {nullptr, nullptr, "en_US.UTF-8", "locale=cs\n", Configuration::LANGUAGE_CZECH},
        {nullptr, nullptr, "en_US.UTF-8", "locale=CS\n", Configuration::LANGUAGE_ENGLISH},
    };
    for (const auto& k : cases) {
        EnvVar all("LC_ALL", k.all);
        EnvVar messages("LC_MESSAGES", k.messages);
        EnvVar lang("LANG", k.lang);
        EXPECT_EQ(Configuration(dir.write("brisane.txt", k.content)).getLanguage(), k.language)
            << (k.all ? k.all : "-") << " " << (k.messages ? k.messages : "-") << " " << k.content;
    }
}

TEST(Configuration, LongLinesAreReadInPieces) {
    TempDir dir;
    // The 1023-character piece is one (ignored) line; the rest of the physical
    // line is a line of its own and sets the key.
    std::string padding(1023, 'x');
    Configuration c(dir.write("brisane.txt", padding + "pkcs11.slots=8\n"));
    EXPECT_EQ(c.getSlotCount(), 8u);
}

// Only a regular file of at most 64 KiB is read, through a link too; a FIFO
// or a device must not hang or flood the read.
TEST(Configuration, OnlyARegularFileOfBoundedSizeIsRead) {
    TempDir dir;
    const std::string settings = "pkcs11.slots=8\n";
    const std::string good = dir.write("good.txt", settings);
    const std::string big = dir.write("big.txt", settings + std::string(64 * 1024, '#'));
    const std::string limit =
        dir.write("limit.txt", settings + std::string(64 * 1024 - settings.size(), '#'));
    ::mkfifo(dir.file("fifo").c_str(), 0600);
    ::symlink("/dev/zero", dir.file("zero").c_str());
    ::symlink(good.c_str(), dir.file("link").c_str());
    const std::pair<std::string, std::size_t> cases[] = {
        {good, 8},       {dir.file("link"), 8}, {limit, 8},
        {big, 6},        {dir.file("fifo"), 6}, {dir.file("zero"), 6},
        {dir.path(), 6},
    };
    for (const auto& [path, slots] : cases)
        EXPECT_EQ(Configuration(path).getSlotCount(), slots) << path;
}

TEST(Configuration, FileComesFromTheEnvironmentVariable) {
    {
        EnvVar conf("BRISANE_CONF", "/tmp/elsewhere.txt");
        EXPECT_EQ(Configuration::configurationFilePath(), "/tmp/elsewhere.txt");
    }
    EnvVar conf("BRISANE_CONF", nullptr);
    EXPECT_EQ(Configuration::configurationFilePath(), "/etc/brisane.txt");
}

}  // namespace
