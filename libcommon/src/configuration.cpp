#include "configuration.h"

#include "fileutils.h"
#include "mutex.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

namespace {

Mutex& configurationGuard() {
    static Mutex guard;
    return guard;
}
// Created at load so that the guard exists before any thread can race on it.
Mutex& configurationGuardAtLoad = configurationGuard();

std::atomic<Configuration*> theInstance{nullptr};

// Releases the instance when the module is unloaded (or the process ends).
// Constructed at load, before any instance exists, so it is destroyed after
// every static object created later, which may still write records.
struct InstanceReaper {
    ~InstanceReaper() { delete theInstance.exchange(nullptr); }
} instanceReaper;

const char* const DEFAULT_FILE = "/etc/brisane.txt";
constexpr std::size_t LINE_PIECE = 1023;

bool isTrimmed(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::string trim(const std::string& s) {
    std::size_t begin = 0, end = s.size();
    while (begin < end && isTrimmed(s[begin]))
        ++begin;
    while (end > begin && isTrimmed(s[end - 1]))
        --end;
    return s.substr(begin, end - begin);
}

std::string withTrailingSeparator(const std::string& dir) {
    return (!dir.empty() && dir.back() == '/') ? dir : dir + '/';
}

// Czech when the first of LC_ALL, LC_MESSAGES, LANG that is set starts with "cs".
std::int32_t userInterfaceLanguage() {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0')
            return std::strncmp(value, "cs", 2) == 0 ? Configuration::LANGUAGE_CZECH
                                                     : Configuration::LANGUAGE_ENGLISH;
    }
    return Configuration::LANGUAGE_ENGLISH;
}

}  // namespace

Configuration& Configuration::instance() {
    Configuration* current = theInstance.load(std::memory_order_acquire);
    if (current != nullptr)
        return *current;
    ScopedLock lock(configurationGuard());
    current = theInstance.load(std::memory_order_relaxed);
    if (current == nullptr) {
        current = new Configuration(configurationFilePath());
        theInstance.store(current, std::memory_order_release);
    }
    return *current;
}

Configuration::Configuration() { loadDefaults(); }

Configuration::Configuration(const std::string& file) {
    loadDefaults();
    readFile(file);
}

std::string Configuration::configurationFilePath() {
    const char* env = std::getenv("BRISANE_CONF");
    return (env != nullptr && *env != '\0') ? std::string(env) : std::string(DEFAULT_FILE);
}

void Configuration::loadDefaults() {
    logPath_.clear();
    loggingEnabled_ = false;
    language_ = userInterfaceLanguage();
    pinPadDisabled_ = false;
    pinPadDialogDisabled_ = false;
    slotCount_ = DEFAULT_SLOT_COUNT;
    std::string home;
    cacheDirectory_.clear();
    if (getHomeDirectory(&home))
        cacheDirectory_ = withTrailingSeparator(joinPath(home, ".amwcache"));
}

long long Configuration::parseInteger(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r')))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    long long value = 0;
    constexpr long long LIMIT = 0x7FFFFFFF;  // a 32-bit value saturates
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > LIMIT)
            value = LIMIT + 1;
    }
    if (negative)
        return -value;
    return value > LIMIT ? LIMIT : value;
}

void Configuration::readFile(const std::string& file) {
    // A FIFO or a device named as the file must not hang or flood the first
    // call: only a regular file of a sensible size is read, else defaults.
    std::string content;
    if (!readRegularFile(file, true, MAX_FILE_SIZE, &content))
        return;
    // Later occurrences replace earlier ones; keys are applied in field order.
    std::map<std::string, std::string> values;
    for (std::size_t at = 0; at < content.size();) {
        // Lines as a 1024-byte line buffer reads them: at most 1023
        // characters, a longer line in several pieces; a zero byte ends the text.
        std::size_t end = content.find('\n', at);
        end = std::min(end == std::string::npos ? content.size() : end + 1, at + LINE_PIECE);
        const std::string piece = content.substr(at, ::strnlen(content.c_str() + at, end - at));
        at = end;
        const std::size_t eq = piece.find('=');
        if (eq == std::string::npos)
            continue;
        std::string key = trim(piece.substr(0, eq));
        std::string value = trim(piece.substr(eq + 1));
        if (key.empty() || value.empty())
            continue;
        values[key] = value;
    }
    for (const char* key : {"logpath", "loglevel", "locale", "disablepinpad", "disablepinpaddlg",
                            "pkcs11.slots", "cache"}) {
        auto it = values.find(key);
        if (it != values.end())
            apply(it->first, it->second);
    }
}

void Configuration::apply(const std::string& key, const std::string& value) {
    if (key == "logpath") {
        logPath_ = withTrailingSeparator(value);
    } else if (key == "loglevel") {
        loggingEnabled_ = parseInteger(value) != 0;
    } else if (key == "locale") {
        if (value == "cs")
            language_ = LANGUAGE_CZECH;
        else if (value == "en")
            language_ = LANGUAGE_ENGLISH;
    } else if (key == "disablepinpad") {
        pinPadDisabled_ = parseInteger(value) != 0;
    } else if (key == "disablepinpaddlg") {
        pinPadDialogDisabled_ = parseInteger(value) != 0;
    } else if (key == "pkcs11.slots") {
        long long n = parseInteger(value);
        slotCount_ =
            n <= 0 ? DEFAULT_SLOT_COUNT : std::min(static_cast<std::size_t>(n), MAX_SLOT_COUNT);
    } else if (key == "cache") {
        cacheDirectory_ = withTrailingSeparator(value);
    }
}
