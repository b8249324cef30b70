#include "exceptions.h"

#include <cstdio>
#include <cstring>

namespace {

// Texts printed with "%d" show the value as a signed 32-bit number.
int asInt(unsigned long value) { return static_cast<int>(static_cast<std::uint32_t>(value)); }
int asInt(long long value) { return static_cast<int>(static_cast<std::uint32_t>(value)); }

}  // namespace

// The body of every member that takes a printf format and its arguments.
#define QV_SET_MESSAGE_FROM_ARGUMENTS(format) \
    do {                                      \
        va_list args;                         \
        va_start(args, format);               \
        setMessageV(format, args);            \
        va_end(args);                         \
    } while (0)

QVException::QVException() noexcept { std::memset(message_, 0, sizeof message_); }

QVException::QVException(const char* format, ...) noexcept {
    std::memset(message_, 0, sizeof message_);
    QV_SET_MESSAGE_FROM_ARGUMENTS(format);
}

QVException::QVException(const QVException& other) noexcept : std::exception(other) {
    std::memcpy(message_, other.message_, sizeof message_);
}

QVException& QVException::operator=(const QVException& other) noexcept {
    std::exception::operator=(other);
    std::memcpy(message_, other.message_, sizeof message_);
    return *this;
}

QVException::~QVException() = default;

void QVException::setMessage(const char* format, ...) noexcept {
    QV_SET_MESSAGE_FROM_ARGUMENTS(format);
}

void QVException::setMessageV(const char* format, va_list args) noexcept {
    std::memset(message_, 0, sizeof message_);
    if (format == nullptr)
        return;
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#endif
    int written = std::vsnprintf(message_, sizeof message_, format, args);
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
    if (written < 0)
        std::memset(message_, 0, sizeof message_);
    message_[MESSAGE_CAPACITY - 1] = '\0';
}

void QVException::setPrefixedMessageV(const char* prefix, const char* format,
                                      va_list args) noexcept {
    // The combined format lives in a buffer of the same size; a cut format is
    // cut at a byte boundary, which vsnprintf tolerates (a dangling '%' at the
    // very end prints nothing).
    char combined[MESSAGE_CAPACITY];
    std::memset(combined, 0, sizeof combined);
    std::snprintf(combined, sizeof combined, "%s%s", prefix ? prefix : "", format ? format : "");
    std::size_t n = std::strlen(combined);
    if (n > 0 && combined[n - 1] == '%' && (n < 2 || combined[n - 2] != '%'))
        combined[n - 1] = '\0';
    setMessageV(combined, args);
}

// ---------------------------------------------------------------- arguments

InvalidArgumentException::InvalidArgumentException(const char* format, ...) noexcept {
    QV_SET_MESSAGE_FROM_ARGUMENTS(format);
}

InvalidArgumentException InvalidArgumentException::nullPointer(const char* argument,
                                                               const char* function,
                                                               const char* source,
                                                               int line) noexcept {
    InvalidArgumentException e;
    e.setMessage("Null pointer exception <%s> [%s() %s:%d]", argument, function, source, line);
    return e;
}

InvalidArgumentException InvalidArgumentException::outOfRange(const char* argument, long long value,
                                                              long long lower, long long upper,
                                                              const char* function,
                                                              const char* source,
                                                              int line) noexcept {
    InvalidArgumentException e;
    e.setMessage("Invalid argument range exception <%s> [%d] not inside <%d,%d> [%s() %s:%d]",
                 argument, asInt(value), asInt(lower), asInt(upper), function, source, line);
    return e;
}

InvalidArgumentException InvalidArgumentException::invalid(const char* argument,
                                                           const char* function, const char* source,
                                                           int line) noexcept {
    InvalidArgumentException e;
    e.setMessage("Invalid argument exception <%s> [%s() %s:%d]", argument, function, source, line);
    return e;
}

// ---------------------------------------------------------------- front end

LibraryNotInicializedException::LibraryNotInicializedException() noexcept
    : QVException("Library not initialized") {}

SlotNotFoundException::SlotNotFoundException(unsigned long slotId) noexcept
    : QVException("invalid SLOT_ID %d", asInt(slotId)) {}

ReaderNotInSlotException::ReaderNotInSlotException(unsigned long slotId) noexcept
    : QVException("The slot does not contain any reader [slotId=%d]", asInt(slotId)) {}

InvalidSessionHandleException::InvalidSessionHandleException(unsigned long handle) noexcept
    : QVException("invalid CK_SESSION_HANDLE [%d]", asInt(handle)) {}

ReadWriteSoSessionExistsException::ReadWriteSoSessionExistsException() noexcept
    : QVException(
          "Application has already opened R/W session authenticated with SO, unable to "
          "login in.") {}

InternalErrorException::InternalErrorException(const char* format, ...) noexcept {
    va_list args;
    va_start(args, format);
    setPrefixedMessageV("INTERNAL ERROR ", format, args);
    va_end(args);
}

InvalidObjectHandleException::InvalidObjectHandleException(unsigned long handle) noexcept
    : QVException("invalid CK_OBJECT_HANDLE [%d]", asInt(handle)) {}

OperationNotInitialized::OperationNotInitialized(const char* operation) noexcept
    : QVException("The operation has not been inicalized: %s", operation ? operation : "") {}

TemplateInconsistentException::TemplateInconsistentException(unsigned long type) noexcept
    : QVException("Template is inconsistent. Multiple occurence of attribute [type=%d]",
                  asInt(type)) {}

TemplateIncompleteException::TemplateIncompleteException(unsigned long type) noexcept
    : QVException("Template is incomplete. Missing attribute type [type=0x%X]",
                  static_cast<unsigned>(type)) {}

AttributValueInvalidException::AttributValueInvalidException(unsigned long type) noexcept
    : QVException("Invalid value of attribute [type=0x%0X]", static_cast<unsigned>(type)) {}

AttributValueInvalidException AttributValueInvalidException::tooSmall(unsigned long type,
                                                                      long long actual,
                                                                      long long minimum) noexcept {
    AttributValueInvalidException e;
    e.setMessage("Size of attribute value is too small [type=%d, actual=%d, minimum=%d]",
                 asInt(type), asInt(actual), asInt(minimum));
    return e;
}

AttributValueInvalidException AttributValueInvalidException::tooBig(unsigned long type,
                                                                    long long actual,
                                                                    long long maximum) noexcept {
    AttributValueInvalidException e;
    e.setMessage("Size of attribute value is too big [type=%d, actual=%d, maximum=%d]", asInt(type),
                 asInt(actual), asInt(maximum));
    return e;
}

AttributeTypeInvalidException::AttributeTypeInvalidException(unsigned long type,
                                                             const char* typeName) noexcept
    : QVException("Invalid attribute type [type=%d, %s]", asInt(type), typeName ? typeName : "") {}

AttributeReadOnlyException::AttributeReadOnlyException(unsigned long type,
                                                       const char* typeName) noexcept
    : QVException("Attribute is read-only [type=%d, %s]", asInt(type), typeName ? typeName : "") {}

AttributeTypeSensitiveException::AttributeTypeSensitiveException(unsigned long type,
                                                                 const char* typeName) noexcept
    : QVException("Attribute type is sensitive and can not be revealed [type=%d, %s]", asInt(type),
                  typeName ? typeName : "") {}

AttributeBufferTooSmallException::AttributeBufferTooSmallException(unsigned long actual,
                                                                   unsigned long expected) noexcept
    : QVException("Small buffer for storing P11 object attribute's value [actual=%d, expected=%d]",
                  asInt(actual), asInt(expected)) {}

InvalidEncryptedDataLength::InvalidEncryptedDataLength(unsigned long length) noexcept
    : QVException("Invalid lenght of encrypted data [length=%d]", asInt(length)) {}

InvalidEncryptedData::InvalidEncryptedData(const char* detail) noexcept
    : QVException("Invalid format of encrypted data [%s]", detail ? detail : "") {}

InvalidPlainTextDataLength::InvalidPlainTextDataLength(unsigned long length) noexcept
    : QVException("Invalid lenght of plain text data [length=%d]", asInt(length)) {}

// ---------------------------------------------------------------- common services

TlvParserException::TlvParserException(const char* format, ...) noexcept {
    QV_SET_MESSAGE_FROM_ARGUMENTS(format);
}

LvParserException::LvParserException(const char* format, ...) noexcept {
    QV_SET_MESSAGE_FROM_ARGUMENTS(format);
}

SerializationException::SerializationException() noexcept
    : QVException("Error in serialization/deserialization within a stream") {}

// ---------------------------------------------------------------- token layer

namespace amw {

// An internal error by kind, but its text stands without the internal-error prefix.
FreshnessCounterException::FreshnessCounterException(const char* counterName) noexcept {
    setMessage("Freshness counter %s has not been updated!", counterName ? counterName : "");
}

DuplicatePkcs11IdException::DuplicatePkcs11IdException() noexcept
    : QVException("duplicate PKCS#11 detected") {}

SecurityViolationException::SecurityViolationException() noexcept
    : QVException("SECURITY VIOLATION (not logged in)") {}

CardOutOfMemoryException::CardOutOfMemoryException() noexcept : QVException("CARD OUT OF MEMORY") {}

const char* PinPadException::reasonName(std::uint32_t reason) noexcept {
    switch (reason) {
    case AUTHENTICATION_PINPAD_TIMEOUT:
        return "amw::PinPadException::AUTHENTICATION_PINPAD_TIMEOUT";
    case AUTHENTICATION_PINPAD_CANCELED:
        return "amw::PinPadException::AUTHENTICATION_PINPAD_CANCELED";
    case AUTHENTICATION_PINPAD_MODIFY_PIN_MISMATCH:
        return "amw::PinPadException::AUTHENTICATION_PINPAD_MODIFY_PIN_MISMATCH";
    case AUTHENTICATION_PINPAD_PIN_TOO_SHORT_OR_TOO_LONG:
        return "amw::PinPadException::AUTHENTICATION_PINPAD_PIN_TOO_SHORT_OR_TOO_LONG";
    default:
        return nullptr;
    }
}

PinPadException::PinPadException(std::uint32_t reason) noexcept : reason_(reason) {
    const char* name = reasonName(reason);
    if (name != nullptr)
        setMessage("PINPAD exception: %s[%u]", name, static_cast<unsigned>(reason));
    else
        setMessage("PINPAD exception: %s", "UNKNOWN");
}

PinPolicyViolationException::PinPolicyViolationException() noexcept
    : QVException("PIN POLICY VIOLATION") {}

SWException::SWException(std::uint16_t sw) noexcept
    : QVException("unexpected SW %04X", static_cast<unsigned>(sw)), sw_(sw) {}

AppletNotSelectedException::AppletNotSelectedException() noexcept = default;

InvalidBufferSizeException::InvalidBufferSizeException(long long expected,
                                                       long long actual) noexcept
    : QVException("invalid size of buffer (expected %d,  actual %d)", asInt(expected),
                  asInt(actual)) {}

UnknownPropertyException::UnknownPropertyException() noexcept
    : QVException("unknown name of proprietary extension or invalid dw flags argument") {}

}  // namespace amw

namespace ctl {

CtlException::CtlException(std::uint32_t code) noexcept
    : QVException("SCard error 0x%08X", static_cast<unsigned>(code)), code_(code) {}

}  // namespace ctl
