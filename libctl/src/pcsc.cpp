#include "pcsc.h"

#include "ctl/cardconnection.h"
#include "ctl/pcscerror.h"

QV_TRACE_UNIT("CTL", "libctl/src/pcsc");

namespace ctl {

namespace {

bool carries(const CtlException& e, LONG result) { return e.getCode() == detail::code(result); }

}  // namespace

bool isCardReset(const CtlException& e) noexcept { return carries(e, SCARD_W_RESET_CARD); }
bool isCardRemoved(const CtlException& e) noexcept {
    // Connecting while the slot has not yet seen the removal gives the second code.
    return carries(e, SCARD_W_REMOVED_CARD) || carries(e, SCARD_E_NO_SMARTCARD);
}
bool isCancelled(const CtlException& e) noexcept { return carries(e, SCARD_E_CANCELLED); }
bool isTimeout(const CtlException& e) noexcept { return carries(e, SCARD_E_TIMEOUT); }
bool isNoService(const CtlException& e) noexcept { return carries(e, SCARD_E_NO_SERVICE); }

namespace detail {

SCARDCONTEXT establishContext() {
    SCARDCONTEXT context = 0;
    LONG rv = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context);
    QV_TRACE_CALL("SCardEstablishContext(2, 0, 0, &context)", rv);
    if (rv != SCARD_S_SUCCESS)
        fail(rv);
    return context;
}

void releaseContext(SCARDCONTEXT context) { SCardReleaseContext(context); }

std::string modeText(std::uint32_t mode) {
    static const EnumName names[] = {
        {CardConnection::MODE_SHARED, "ctl::CardConnection::MODE_SHARED"},
        {CardConnection::MODE_EXCLUSIVE, "ctl::CardConnection::MODE_EXCLUSIVE"},
    };
    return enumText(mode, names);
}

std::string protocolText(std::uint32_t protocol) {
    static const EnumName names[] = {
        {CardConnection::PROTOCOL_T0, "ctl::CardConnection::PROTOCOL_T0"},
        {CardConnection::PROTOCOL_T1, "ctl::CardConnection::PROTOCOL_T1"},
        {CardConnection::PROTOCOL_T0_OR_T1, "ctl::CardConnection::PROTOCOL_T0_OR_T1"},
    };
    return enumText(protocol, names);
}

std::string dispositionText(std::uint32_t disposition) {
    static const EnumName names[] = {
        {CardConnection::LEAVE_CARD, "ctl::CardConnection::LEAVE_CARD"},
        {CardConnection::RESET_CARD, "ctl::CardConnection::RESET_CARD"},
        {CardConnection::UNPOWER_CARD, "ctl::CardConnection::UNPOWER_CARD"},
        {CardConnection::EJECT_CARD, "ctl::CardConnection::EJECT_CARD"},
    };
    return enumText(disposition, names);
}

}  // namespace detail
}  // namespace ctl
