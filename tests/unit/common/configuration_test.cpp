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

// A missing file keeps every default; blanks around keys and values do not
// count, malformed lines are skipped, keys are case-sensitive, the last
// occurrence wins and a value runs from the first '=' to the end.
TEST(Configuration, KeysDefaultsAndMalformedLines) {
    EnvVar home("HOME", "/home/tester");
    TempDir dir;
    const struct {
        const char* content;  // nullptr: no file
        bool logging, pinPadDisabled, dialogDisabled;
        const char* logPath;
        std::uint32_t slots;
        const char* cache;
    } cases[] = {
        {nullptr, false, false, false, "", 6, "/home/tester/.amwcache/"},
        {"  loglevel =\t5 \nlogpath = /var/log/brisane\ndisablepinpad=1\ndisablepinpaddlg = "
         "2\n\tpkcs11.slots  =  9  \ncache=/srv/cache/\n",
         true, true, true, "/var/log/brisane/", 9, "/srv/cache/"},
        {"# a comment = is just an unknown key\ngarbage without equals "
         "sign\n=5\nloglevel=\npkcs11.slots=3\npkcs11.slots=12\nLOGLEVEL=1\nlogpath=/a=b=c\n\n",
         false, false, false, "/a=b=c/", 12, "/home/tester/.amwcache/"},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.content ? k.content : "no file");
        Configuration c(k.content ? dir.write("brisane.txt", k.content)
                                  : "/nonexistent/brisane.txt");
        EXPECT_EQ(c.isLoggingEnabled(), k.logging);
        EXPECT_EQ(c.isPinPadDisabled(), k.pinPadDisabled);
        EXPECT_EQ(c.isPinPadDialogDisabled(), k.dialogDisabled);
        EXPECT_EQ(c.getLogPath(), k.logPath);
        EXPECT_EQ(c.getSlotCount(), k.slots);
        EXPECT_EQ(c.getCacheDirectory(), k.cache);
    }
}

TEST(Configuration, SlotCountAndLogLevelValues) {
    TempDir dir;
    struct {
        std::string content;
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
        // A 1023-character piece is one (ignored) line; the rest of the
        // physical line is a line of its own.
        {std::string(1023, 'x') + "pkcs11.slots=8\n", 8, false},
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
