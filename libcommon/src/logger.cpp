#include "logger.h"

#include "configuration.h"
#include "fileutils.h"
#include "mutex.h"
#include "platform.h"

#include <fcntl.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

namespace {

Mutex& loggerGuard() {
    static Mutex guard;
    return guard;
}
Mutex& loggerGuardAtLoad = loggerGuard();

std::atomic<Logger*> theInstance{nullptr};

// Releases the instance when the module is unloaded (or the process ends).
// Constructed at load, before any instance exists, so it is destroyed after
// every static object created later, which may still write records.
struct InstanceReaper {
    ~InstanceReaper() { delete theInstance.exchange(nullptr); }
} instanceReaper;

thread_local int threadDepth = 0;

constexpr std::size_t FORMAT_LIMIT = 1023;

std::string formatV(const char* format, va_list args) {
    char fixed[1024];
    const char* fmt = format;
    std::string cut;
    if (std::strlen(format) > FORMAT_LIMIT) {
        cut.assign(format, FORMAT_LIMIT);
        fmt = cut.c_str();
    }
    va_list copy;
    va_copy(copy, args);
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#endif
    int n = std::vsnprintf(fixed, sizeof fixed, fmt, copy);
    va_end(copy);
    if (n < 0)
        return std::string();
    if (static_cast<std::size_t>(n) < sizeof fixed)
        return std::string(fixed, static_cast<std::size_t>(n));
    std::vector<char> big(static_cast<std::size_t>(n) + 1);
    std::vsnprintf(big.data(), big.size(), fmt, args);
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
    return std::string(big.data(), static_cast<std::size_t>(n));
}

void appendHex(std::string& out, unsigned char byte) {
    static const char digits[] = "0123456789ABCDEF";
    out += ' ';
    out += digits[byte >> 4];
    out += digits[byte & 0x0F];
}

// A dump without its bytes: "NULL", or a note for a buffer too large to log.
// False when the bytes are to be shown.
bool appendWithheldDump(std::string& record, const void* data, std::size_t length) {
    if (data == nullptr) {
        record += "NULL";
        return true;
    }
    if (length > Logger::MAX_DUMP_LENGTH) {
        char note[96];
        std::snprintf(note, sizeof note, "extremely large buffer, not logged (len = 0x%zx)",
                      length);
        record += note;
        return true;
    }
    return false;
}

}  // namespace

Logger& Logger::instance() {
    Logger* current = theInstance.load(std::memory_order_acquire);
    if (current != nullptr)
        return *current;
    ScopedLock lock(loggerGuard());
    current = theInstance.load(std::memory_order_relaxed);
    if (current == nullptr) {
        current = new Logger(Configuration::instance());
        theInstance.store(current, std::memory_order_release);
    }
    return *current;
}

Logger::Logger(bool enabled, std::string fileName)
    : enabled_(enabled), fileName_(std::move(fileName)) {}

Logger::Logger(const Configuration& configuration)
    : enabled_(configuration.isLoggingEnabled()),
      fileName_(makeFileName(configuration.getLogPath(), executableStem(), currentFileTime())) {
    if (enabled_)
        log("LOGGER", "BUILT ON %s %s\n", __DATE__, __TIME__);
}

std::string Logger::makeFileName(const std::string& logPath, const std::string& stem,
                                 unsigned long long fileTime) {
    return logPath + "qvpkcs11-" + stem + "-" + std::to_string(fileTime) + ".log";
}

std::string Logger::makePrefix(const char* component, int depth) {
    auto now = std::chrono::system_clock::now();
    std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    long ms = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000);
    std::tm local{};
    localtime_r(&seconds, &local);
    char buf[128];
    int n = std::snprintf(buf, sizeof buf, "T%lu %02d.%02d.%d %02d:%02d:%02d.%02ld ",
                          currentThreadId(), local.tm_mday, local.tm_mon + 1, local.tm_year + 1900,
                          local.tm_hour, local.tm_min, local.tm_sec, ms);
    std::string prefix(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
    prefix += component ? component : "";
    std::size_t width = PREFIX_WIDTH + 2 * static_cast<std::size_t>(depth > 0 ? depth : 0);
    if (prefix.size() < width)
        prefix.append(width - prefix.size(), ' ');
    return prefix;
}

void Logger::write(const std::string& record) const {
    // The log may hold card identifiers and APDU headers: it is the user's
    // alone. A link or a FIFO planted under its name is not written through.
    FileDescriptor file(::open(fileName_.c_str(),
                               O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                               0600));
    if (file.valid())
        writeAll(file.get(), record.data(), record.size());
}

void Logger::log(const char* component, const char* format, ...) const noexcept {
    if (!enabled_)
        return;
    va_list args;
    va_start(args, format);
    logV(component, format, args);
    va_end(args);
}

void Logger::logV(const char* component, const char* format, va_list args) const noexcept {
    if (!enabled_ || format == nullptr)
        return;
    // A record that cannot be built (out of memory) is dropped like one that
    // cannot be written.
    try {
        std::string record = makePrefix(component, threadDepth);
        record += formatV(format, args);
        record += '\n';
        write(record);
    } catch (...) {
    }
}

void Logger::dump(const char* component, const char* label, const void* data, std::size_t length,
                  bool wrap) const noexcept {
    if (!enabled_)
        return;
    try {
        writeDump(component, label, data, length, wrap);
    } catch (...) {
    }
}

void Logger::writeDump(const char* component, const char* label, const void* data,
                       std::size_t length, bool wrap) const {
    const std::string labelText = label ? label : "";
    std::string record = makePrefix(component, threadDepth) + labelText;
    if (!appendWithheldDump(record, data, length)) {
        const unsigned char* bytes = static_cast<const unsigned char*>(data);
        record.reserve(record.size() + length * 3 + (length / 16) * (64 + labelText.size()));
        for (std::size_t i = 0; i < length; ++i) {
            appendHex(record, bytes[i]);
            if (wrap && (i + 1) % 16 == 0 && i + 1 < length) {
                record += '\n';
                record += makePrefix(component, threadDepth);
                record.append(labelText.size(), ' ');
            }
        }
    }
    record += '\n';
    write(record);
}

void Logger::dumpWithText(const char* component, const char* label, const void* data,
                          std::size_t length) const noexcept {
    if (!enabled_)
        return;
    try {
        writeDumpWithText(component, label, data, length);
    } catch (...) {
    }
}

void Logger::writeDumpWithText(const char* component, const char* label, const void* data,
                               std::size_t length) const {
    std::string record = makePrefix(component, threadDepth) + (label ? label : "");
    if (!appendWithheldDump(record, data, length)) {
        const unsigned char* bytes = static_cast<const unsigned char*>(data);
        for (std::size_t i = 0; i < length; ++i)
            appendHex(record, bytes[i]);
        record += " | ";
        for (std::size_t i = 0; i < length; ++i)
            record += bytes[i] < 0x80 ? static_cast<char>(bytes[i]) : '.';
    }
    record += '\n';
    write(record);
}

int Logger::enter() { return ++threadDepth; }
int Logger::leave() { return --threadDepth; }
int Logger::depth() { return threadDepth; }
