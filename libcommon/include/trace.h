#pragma once
// The tracing bracket every layer uses, and the value texts of the
// "%s = %s" / "[OUT] %s = %s" records.
#include "logger.h"

#include "exceptions.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>

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

// ---------------------------------------------------------------------------
// One-line tracing and argument checks.
//
// A source file names its unit once, after its includes:
//     QV_TRACE_UNIT("AMWKALVIK", "libamwkalvik/src/token");
// A traced function opens with its qualified name:
//     QV_ENTER("amwkalvik::Token::getMemoryInfo");
// and then checks and traces in one line each:
//     QV_REQUIRE(total);          // "Null pointer exception <total>
//     [amwkalvik::Token::getMemoryInfo() libamwkalvik/src/token:<line>]" QV_TRACE_VALUE(keySize);
//     // "keySize = 1024 [0x00000400]"
// A function that checks without tracing names itself with QV_FUNCTION_NAME.

struct TraceUnit {
    const char* component;  // "PKCS11", "AMW", ...
    const char* source;     // as argument errors name it, e.g. "libamw/src/cachedtoken"
};

#define QV_TRACE_UNIT(componentName, sourcePath)                                  \
    namespace {                                                                   \
    [[maybe_unused]] constexpr TraceUnit qvTraceUnit_{componentName, sourcePath}; \
    }                                                                             \
    static_assert(true, "")

#define QV_FUNCTION_NAME(functionName) \
    [[maybe_unused]] static constexpr const char* qvFunction_ = functionName
#define QV_ENTER(functionName)      \
    QV_FUNCTION_NAME(functionName); \
    TraceScope qvTraceScope_(qvTraceUnit_.component, qvFunction_)

// "Null pointer exception <argument> [function() source:line]". The argument is
// named as written unless a name is given.
#define QV_REQUIRE(pointer) QV_REQUIRE_NAMED(pointer, #pointer)
#define QV_REQUIRE_NAMED(pointer, argument) QV_REQUIRE_AT_LINE(pointer, argument, __LINE__)
// For a message that must carry a fixed, published line number instead of
// the check's own.
#define QV_REQUIRE_AT_LINE(pointer, argument, line)                                   \
    do {                                                                              \
        if ((pointer) == nullptr)                                                     \
            throw InvalidArgumentException::nullPointer((argument), qvFunction_,      \
                                                        qvTraceUnit_.source, (line)); \
    } while (0)
// "Invalid argument range exception <argument> [value] not inside <lower,upper> ..."
#define QV_REQUIRE_RANGE(value, lower, upper) \
    QV_CHECK_RANGE(value, lower, upper, #value, qvFunction_, qvTraceUnit_.source, __LINE__)
// "Invalid argument exception <argument> [function() source:line]" unless `condition`.
#define QV_REQUIRE_VALID(condition, argument) \
    QV_REQUIRE_VALID_AT_LINE(condition, argument, __LINE__)
#define QV_REQUIRE_VALID_AT_LINE(condition, argument, line)                                  \
    do {                                                                                     \
        if (!(condition))                                                                    \
            QV_THROW_INVALID_ARGUMENT((argument), qvFunction_, qvTraceUnit_.source, (line)); \
    } while (0)
// The function, source and line of a message that is thrown further down,
// as three arguments of a call: helper(x, QV_CALL_SITE_AT_LINE(19)).
#define QV_CALL_SITE_AT_LINE(line) qvFunction_, qvTraceUnit_.source, (line)
#define QV_CALL_SITE QV_CALL_SITE_AT_LINE(__LINE__)

// Value texts of the traced-value macros: numbers as numberText, bools as
// "true"/"false", texts as they are. Enumerations have no default text on
// purpose: trace them with their own name table through QV_TRACE_NAMED.
inline const char* traceText(bool value) { return boolText(value); }
template <class T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool>, int> = 0>
std::string traceText(T value) {
    return numberText(static_cast<unsigned long>(value));
}
inline const std::string& traceText(const std::string& text) { return text; }
inline const char* traceText(const char* text) { return text != nullptr ? text : "NULL"; }
// A pointer would otherwise turn into "true"/"false": name its text
// (pointerText, numberPointerText) with QV_TRACE_NAMED.
template <class T>
void traceText(const T* pointer) = delete;

// "<expression> = <text>" / "[OUT] <expression> = <text>", under the unit's component.
#define QV_TRACE_VALUE(value) QV_TRACE_ARG(qvTraceUnit_.component, #value, traceText(value))
#define QV_TRACE_OUT_VALUE(value) QV_TRACE_OUT(qvTraceUnit_.component, #value, traceText(value))
// The same with the name and text given.
#define QV_TRACE_NAMED(name, text) QV_TRACE_ARG(qvTraceUnit_.component, (name), (text))
#define QV_TRACE_OUT_NAMED(name, text) QV_TRACE_OUT(qvTraceUnit_.component, (name), (text))
// A free-form record under the unit's component.
#define QV_TRACE(...) QV_LOG(qvTraceUnit_.component, __VA_ARGS__)
// "<call text> return value: 0x%08X" under the unit's component.
#define QV_TRACE_CALL(callText, result) \
    QV_TRACE_RETURN_VALUE(qvTraceUnit_.component, callText, result)
// "<label> XX XX ..." (wrapped 16 to a line with `wrap`), only when the log is on.
#define QV_TRACE_BYTES(label, data, length) \
    traceBytes(qvTraceUnit_.component, (label), (data), (length), false)
#define QV_TRACE_BYTES_WRAPPED(label, data, length) \
    traceBytes(qvTraceUnit_.component, (label), (data), (length), true)

// The number and byte records behind the macros, for code that picks its
// component at run time.
void traceNumber(const char* component, const char* name, unsigned long value) noexcept;
void traceBytes(const char* component, const char* label, const void* data, std::size_t length,
                bool wrap) noexcept;
