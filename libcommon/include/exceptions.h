#pragma once
// Every error inside the module is one of these classes. Each carries a
// printf-formatted message in a fixed, zero-filled 1024-byte buffer (at most
// 1023 characters; longer texts are cut, formatting never fails the throw).
#include <cstdarg>
#include <cstdint>
#include <exception>

#if defined(__GNUC__)
#define QV_PRINTF(fmtIndex, argIndex) __attribute__((format(printf, fmtIndex, argIndex)))
#else
#define QV_PRINTF(fmtIndex, argIndex)
#endif

class QVException : public std::exception {
public:
    static constexpr std::size_t MESSAGE_CAPACITY = 1024;

    QVException() noexcept;
    explicit QVException(const char* format, ...) noexcept QV_PRINTF(2, 3);
    QVException(const QVException& other) noexcept;
    QVException& operator=(const QVException& other) noexcept;
    ~QVException() override;

    const char* what() const noexcept override { return message_; }

protected:
    // Replaces the message; a null format leaves it empty.
    void setMessage(const char* format, ...) noexcept QV_PRINTF(2, 3);
    void setMessageV(const char* format, va_list args) noexcept;
    // Formats `prefix` followed by `format`: the prefix becomes part of the
    // format before the arguments are applied.
    void setPrefixedMessageV(const char* prefix, const char* format, va_list args) noexcept;

private:
    char message_[MESSAGE_CAPACITY];
};

// Argument errors use three fixed formats; the factories take the argument
// name, the qualified function name, the source (as the callers name it,
// e.g. "libamwkalvik/src/apdu") and the line explicitly.
class InvalidArgumentException : public QVException {
public:
    explicit InvalidArgumentException(const char* format, ...) noexcept QV_PRINTF(2, 3);

    static InvalidArgumentException nullPointer(const char* argument, const char* function,
                                                const char* source, int line) noexcept;
    static InvalidArgumentException outOfRange(const char* argument, long long value,
                                               long long lower, long long upper,
                                               const char* function, const char* source,
                                               int line) noexcept;
    static InvalidArgumentException invalid(const char* argument, const char* function,
                                            const char* source, int line) noexcept;

private:
    InvalidArgumentException() noexcept = default;
};

// Throw helpers for the three argument checks.
#define QV_THROW_NULL_POINTER(argument, function, source, line) \
    throw InvalidArgumentException::nullPointer((argument), (function), (source), (line))
#define QV_CHECK_NOT_NULL(pointer, argument, function, source, line)         \
    do {                                                                     \
        if ((pointer) == nullptr)                                            \
            QV_THROW_NULL_POINTER((argument), (function), (source), (line)); \
    } while (0)
#define QV_CHECK_RANGE(value, lower, upper, argument, function, source, line)                     \
    do {                                                                                          \
        const long long qvValue_ = static_cast<long long>(value);                                 \
        if (qvValue_ < static_cast<long long>(lower) || qvValue_ > static_cast<long long>(upper)) \
            throw InvalidArgumentException::outOfRange((argument), qvValue_, (lower), (upper),    \
                                                       (function), (source), (line));             \
    } while (0)
#define QV_THROW_INVALID_ARGUMENT(argument, function, source, line) \
    throw InvalidArgumentException::invalid((argument), (function), (source), (line))

class LibraryNotInicializedException : public QVException {
public:
    LibraryNotInicializedException() noexcept;
};

class SlotNotFoundException : public QVException {
public:
    explicit SlotNotFoundException(unsigned long slotId) noexcept;
};

class ReaderNotInSlotException : public QVException {
public:
    explicit ReaderNotInSlotException(unsigned long slotId) noexcept;
};

class InvalidSessionHandleException : public QVException {
public:
    explicit InvalidSessionHandleException(unsigned long handle) noexcept;
};

class ReadWriteSoSessionExistsException : public QVException {
public:
    ReadWriteSoSessionExistsException() noexcept;
};

// Message: "INTERNAL ERROR " followed by the formatted text.
class InternalErrorException : public QVException {
public:
    explicit InternalErrorException(const char* format, ...) noexcept QV_PRINTF(2, 3);

protected:
    InternalErrorException() noexcept = default;
};

class InvalidObjectHandleException : public QVException {
public:
    explicit InvalidObjectHandleException(unsigned long handle) noexcept;
};

class OperationNotInitialized : public QVException {
public:
    explicit OperationNotInitialized(const char* operation) noexcept;
};

class TemplateInconsistentException : public QVException {
public:
    explicit TemplateInconsistentException(unsigned long type) noexcept;
};

class TemplateIncompleteException : public QVException {
public:
    explicit TemplateIncompleteException(unsigned long type) noexcept;
};

class AttributValueInvalidException : public QVException {
public:
    // "Invalid value of attribute [type=0x%0X]"
    explicit AttributValueInvalidException(unsigned long type) noexcept;
    static AttributValueInvalidException tooSmall(unsigned long type, long long actual,
                                                  long long minimum) noexcept;
    static AttributValueInvalidException tooBig(unsigned long type, long long actual,
                                                long long maximum) noexcept;

private:
    AttributValueInvalidException() noexcept = default;
};

// `typeName` is the attribute's name from the CKA_ table.
class AttributeTypeInvalidException : public QVException {
public:
    AttributeTypeInvalidException(unsigned long type, const char* typeName) noexcept;
};

class AttributeReadOnlyException : public QVException {
public:
    AttributeReadOnlyException(unsigned long type, const char* typeName) noexcept;
};

class AttributeTypeSensitiveException : public QVException {
public:
    AttributeTypeSensitiveException(unsigned long type, const char* typeName) noexcept;
};

class AttributeBufferTooSmallException : public QVException {
public:
    AttributeBufferTooSmallException(unsigned long actual, unsigned long expected) noexcept;
};

class InvalidEncryptedDataLength : public QVException {
public:
    explicit InvalidEncryptedDataLength(unsigned long length) noexcept;
};

class InvalidEncryptedData : public QVException {
public:
    explicit InvalidEncryptedData(const char* detail) noexcept;
};

class InvalidPlainTextDataLength : public QVException {
public:
    explicit InvalidPlainTextDataLength(unsigned long length) noexcept;
};

class TlvParserException : public QVException {
public:
    explicit TlvParserException(const char* format, ...) noexcept QV_PRINTF(2, 3);
};

class LvParserException : public QVException {
public:
    explicit LvParserException(const char* format, ...) noexcept QV_PRINTF(2, 3);
};

class SerializationException : public QVException {
public:
    SerializationException() noexcept;
};

namespace amw {

// `counterName` is the kind word: "keypair", "certificate", ...
class FreshnessCounterException : public InternalErrorException {
public:
    explicit FreshnessCounterException(const char* counterName) noexcept;
};

class DuplicatePkcs11IdException : public QVException {
public:
    DuplicatePkcs11IdException() noexcept;
};

class SecurityViolationException : public QVException {
public:
    SecurityViolationException() noexcept;
};

class CardOutOfMemoryException : public QVException {
public:
    CardOutOfMemoryException() noexcept;
};

class PinPadException : public QVException {
public:
    enum Reason : std::uint32_t {
        AUTHENTICATION_PINPAD_TIMEOUT = 0,
        AUTHENTICATION_PINPAD_CANCELED = 1,
        AUTHENTICATION_PINPAD_MODIFY_PIN_MISMATCH = 2,
        AUTHENTICATION_PINPAD_PIN_TOO_SHORT_OR_TOO_LONG = 3,
    };

    explicit PinPadException(std::uint32_t reason) noexcept;
    std::uint32_t getReason() const noexcept { return reason_; }
    // "amw::PinPadException::AUTHENTICATION_PINPAD_CANCELED" or null when unknown.
    static const char* reasonName(std::uint32_t reason) noexcept;

private:
    std::uint32_t reason_;
};

class PinPolicyViolationException : public QVException {
public:
    PinPolicyViolationException() noexcept;
};

class SWException : public QVException {
public:
    explicit SWException(std::uint16_t sw) noexcept;
    std::uint16_t getSW() const noexcept { return sw_; }

private:
    std::uint16_t sw_;
};

class AppletNotSelectedException : public QVException {
public:
    AppletNotSelectedException() noexcept;
};

class InvalidBufferSizeException : public QVException {
public:
    InvalidBufferSizeException(long long expected, long long actual) noexcept;
};

class UnknownPropertyException : public QVException {
public:
    UnknownPropertyException() noexcept;
};

}  // namespace amw

namespace ctl {

// A failed PC/SC call; carries the PC/SC result code.
class CtlException : public QVException {
public:
    explicit CtlException(std::uint32_t code) noexcept;
    std::uint32_t getCode() const noexcept { return code_; }

private:
    std::uint32_t code_;
};

}  // namespace ctl
