#pragma once
// Optional trace log, one file per process:
//   <logpath>qvpkcs11-<executable stem>-<creation time as file time>.log
// Each record is "T<tid> dd.mm.yyyy hh:mm:ss.ms COMPONENT", padded with
// spaces to 45 + 2 * depth columns, then the body. Records open, append and
// close the file, so writers never hold a lock while writing.
#include "exceptions.h"  // QV_PRINTF

#include <cstdarg>
#include <cstddef>
#include <string>

class Configuration;

class Logger {
public:
    // Dumps of more bytes than this are replaced by a one-line note.
    static constexpr std::size_t MAX_DUMP_LENGTH = 6144;
    static constexpr std::size_t PREFIX_WIDTH = 45;

    // The process-wide instance, created from Configuration::instance() on first use.
    static Logger& instance();
    // Shorthand for instance().isEnabled().
    static bool enabled() { return instance().isEnabled(); }

    // A logger with its own file; used for the process instance and by tests.
    Logger(bool enabled, std::string fileName);
    explicit Logger(const Configuration& configuration);

    bool isEnabled() const { return enabled_; }
    const std::string& getFileName() const { return fileName_; }

    void log(const char* component, const char* format, ...) const noexcept QV_PRINTF(3, 4);
    void logV(const char* component, const char* format, va_list args) const noexcept;
    // label, then " %02X" per byte; with `wrap`, 16 bytes a line, continuation
    // lines indented by the label's width.
    void dump(const char* component, const char* label, const void* data, std::size_t length,
              bool wrap) const noexcept;
    // label, " %02X" per byte, " | ", then the bytes below 0x80 as characters, others as ".".
    void dumpWithText(const char* component, const char* label, const void* data,
                      std::size_t length) const noexcept;

    // Nesting depth of the calling thread; enter()/leave() return the new depth.
    static int enter();
    static int leave();
    static int depth();

    // "qvpkcs11-<stem>-<fileTime>.log" under `logPath` (which ends with "/" or is empty).
    static std::string makeFileName(const std::string& logPath, const std::string& stem,
                                    unsigned long long fileTime);
    // "T<tid> dd.mm.yyyy hh:mm:ss.ms COMPONENT" padded for the given depth.
    static std::string makePrefix(const char* component, int depth);

private:
    void write(const std::string& record) const;
    void writeDump(const char* component, const char* label, const void* data, std::size_t length,
                   bool wrap) const;
    void writeDumpWithText(const char* component, const char* label, const void* data,
                           std::size_t length) const;
    bool enabled_;
    std::string fileName_;
};

// Formats and writes only when the log is on; the arguments are not even
// evaluated otherwise.
#define QV_LOG(component, ...)                        \
    do {                                              \
        const Logger& qvLogger_ = Logger::instance(); \
        if (qvLogger_.isEnabled())                    \
            qvLogger_.log((component), __VA_ARGS__);  \
    } while (0)
