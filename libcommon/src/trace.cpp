#include "trace.h"

#include <cstdio>

TraceScope::TraceScope(const char* component, const char* function) noexcept
    : component_(component), function_(function) {
    try {
        QV_LOG(component_, "Entering %s()", function_);
    } catch (...) {
        // Only creating the logger can throw; the call goes on untraced.
    }
    Logger::enter();
}

TraceScope::~TraceScope() {
    int depth = Logger::leave();
    try {
        QV_LOG(component_, depth != 0 ? "Leaving %s" : "Leaving %s\n", function_);
    } catch (...) {
    }
}

std::string numberText(unsigned long value) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%lu [0x%08lx]", value, value);
    return buf;
}

std::string bboolText(unsigned char value) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%u [0x%02x]", static_cast<unsigned>(value),
                  static_cast<unsigned>(value));
    return buf;
}

const char* boolText(bool value) { return value ? "true" : "false"; }

std::string numberPointerText(const unsigned long* value) {
    if (value == nullptr)
        return "NULL";
    char buf[64];
    std::snprintf(buf, sizeof buf, "[address=0x%lx, value=",
                  static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(value)));
    return buf + numberText(*value) + "]";
}

std::string pointerText(const void* value) {
    if (value == nullptr)
        return "NULL";
    char buf[64];
    std::snprintf(buf, sizeof buf, "[address=0x%lx]",
                  static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(value)));
    return buf;
}

static const EnumName* findEnum(long long value, const EnumName* names, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        if (names[i].value == value)
            return &names[i];
    }
    return nullptr;
}

const char* enumName(long long value, const EnumName* names, std::size_t count) noexcept {
    const EnumName* found = findEnum(value, names, count);
    return found ? found->name : "UNKNOWN";
}

std::string enumText(long long value, const EnumName* names, std::size_t count) {
    const EnumName* found = findEnum(value, names, count);
    if (found == nullptr)
        return "UNKNOWN";
    return std::string(found->name) + "[" + std::to_string(value) + "]";
}

void traceNumber(const char* component, const char* name, unsigned long value) noexcept {
    try {
        QV_TRACE_ARG(component, name, numberText(value));
    } catch (...) {
        // a record that cannot be made is lost, never the call
    }
}

void traceBytes(const char* component, const char* label, const void* data, std::size_t length,
                bool wrap) noexcept {
    try {
        const Logger& logger = Logger::instance();
        if (logger.isEnabled())
            logger.dump(component, label, data, length, wrap);
    } catch (...) {
    }
}
