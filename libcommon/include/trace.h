#pragma once
// The tracing bracket every layer uses, and the value texts of the
// "%s = %s" / "[OUT] %s = %s" records.
#include "logger.h"

#include <cstddef>
#include <cstdint>
#include <string>

// Writes "Entering <function>()" and raises the thread's depth; on every way
// out lowers it and writes "Leaving <function>" ("Leaving <function>\n" when
// the depth is back at 0, so an empty line follows the outermost call).
class TraceScope {
public:
    TraceScope(const char* component, const char* function) noexcept;
    ~TraceScope();
    TraceScope(const TraceScope&) = delete;
    TraceScope& operator=(const TraceScope&) = delete;

private:
    const char* component_;
    const char* function_;
};

// "5 [0x00000005]"
std::string numberText(unsigned long value);
// "1 [0x01]"
std::string bboolText(unsigned char value);
// "true" / "false"
const char* boolText(bool value);
// "[address=0x7ffd..., value=5 [0x00000005]]" or "NULL"
std::string numberPointerText(const unsigned long* value);
// "[address=0x7ffd...]" or "NULL" for pointers whose target is not rendered
std::string pointerText(const void* value);

// One enumerator of an enumeration, with its qualified name.
struct EnumName {
    long long value;
    const char* name;
};
// "ctl::CardConnection::MODE_SHARED[1]", or "UNKNOWN" when no entry matches.
std::string enumText(long long value, const EnumName* names, std::size_t count);
template <std::size_t N>
std::string enumText(long long value, const EnumName (&names)[N]) {
    return enumText(value, names, N);
}
// The name alone, "ctl::CardConnection::MODE_SHARED", or "UNKNOWN".
const char* enumName(long long value, const EnumName* names, std::size_t count) noexcept;
template <std::size_t N>
const char* enumName(long long value, const EnumName (&names)[N]) noexcept {
    return enumName(value, names, N);
}

// "<name> = <text>" / "[OUT] <name> = <text>"; `text` is rendered only when
// the log is on.
#define QV_TRACE_ARG(component, name, text)                                           \
    do {                                                                              \
        const Logger& qvLogger_ = Logger::instance();                                 \
        if (qvLogger_.isEnabled())                                                    \
            qvLogger_.log((component), "%s = %s", (name), std::string(text).c_str()); \
    } while (0)
#define QV_TRACE_OUT(component, name, text)                                                 \
    do {                                                                                    \
        const Logger& qvLogger_ = Logger::instance();                                       \
        if (qvLogger_.isEnabled())                                                          \
            qvLogger_.log((component), "[OUT] %s = %s", (name), std::string(text).c_str()); \
    } while (0)
// "<call text> return value: 0x%08X" for a platform call.
#define QV_TRACE_RETURN_VALUE(component, callText, result) \
    QV_LOG((component), "%s return value: 0x%08X", (callText), static_cast<unsigned>(result))
