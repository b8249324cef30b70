#pragma once
// Helpers shared by the transport's PC/SC calls.
#include <winscard.h>

#include <cstdint>
#include <string>

#include "exceptions.h"
#include "trace.h"

namespace ctl {
namespace detail {

constexpr const char* COMPONENT = "CTL";

// Result codes as the service reports them, compared as 32-bit values.
constexpr std::uint32_t CANCELLED = 0x80100002;
constexpr std::uint32_t INVALID_PARAMETER = 0x80100004;
constexpr std::uint32_t UNKNOWN_READER = 0x80100009;
constexpr std::uint32_t SYSTEM_CANCELLED = 0x80100012;
constexpr std::uint32_t COMM_ERROR = 0x80100013;
constexpr std::uint32_t NO_SERVICE = 0x8010001D;
constexpr std::uint32_t SERVICE_STOPPED = 0x8010001E;
constexpr std::uint32_t NO_READERS_AVAILABLE = 0x8010002E;
constexpr std::uint32_t INSUFFICIENT_BUFFER = 0x80100008;

constexpr DWORD STATE_CHANGED = 0x00000002;
constexpr DWORD STATE_PRESENT = 0x00000020;

inline std::uint32_t code(LONG result) { return static_cast<std::uint32_t>(result); }

// The service is gone (stopped or not running). pcsc-lite reports a service
// that stops under a blocked call as a communication error.
inline bool serviceGone(LONG result) {
    const std::uint32_t c = code(result);
    return c == SERVICE_STOPPED || c == NO_SERVICE || c == SYSTEM_CANCELLED || c == COMM_ERROR;
}

[[noreturn]] inline void fail(LONG result) { throw CtlException(code(result)); }

// Establishes a context of system scope, logged; throws on failure.
SCARDCONTEXT establishContext();

// Releases a context; the result does not matter to any caller.
void releaseContext(SCARDCONTEXT context);

// "ctl::CardConnection::MODE_SHARED[1]" and so on, or "UNKNOWN".
std::string modeText(std::uint32_t mode);
std::string protocolText(std::uint32_t protocol);
std::string dispositionText(std::uint32_t disposition);

}  // namespace detail
}  // namespace ctl
