#pragma once
// Helpers shared by the transport's PC/SC calls.
#include <winscard.h>

#include <cstdint>
#include <string>

#include "exceptions.h"
#include "trace.h"

namespace ctl {
namespace detail {

constexpr DWORD STATE_CHANGED = SCARD_STATE_CHANGED;
constexpr DWORD STATE_PRESENT = SCARD_STATE_PRESENT;

// The 32-bit code an exception carries (LONG is wider on 64-bit Linux).
inline std::uint32_t code(LONG result) { return static_cast<std::uint32_t>(result); }

// The service is gone (stopped or not running). pcsc-lite reports a service
// that stops under a blocked call as a communication error.
inline bool serviceGone(LONG result) {
    return result == SCARD_E_SERVICE_STOPPED || result == SCARD_E_NO_SERVICE ||
           result == SCARD_E_SYSTEM_CANCELLED || result == SCARD_F_COMM_ERROR;
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
