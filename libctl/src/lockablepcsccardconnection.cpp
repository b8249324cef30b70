#include "ctl/lockablepcsccardconnection.h"

#include "pcsc.h"

QV_TRACE_UNIT("CTL", "libctl/src/lockablepcsccardconnection");

namespace ctl {

using namespace detail;

DWORD LockablePcScCardConnection::preferredProtocols(std::uint32_t protocol) {
    switch (protocol) {
    case PROTOCOL_T0:
        return SCARD_PROTOCOL_T0;
    case PROTOCOL_T1:
        return SCARD_PROTOCOL_T1;
    case PROTOCOL_T0_OR_T1:
        return SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
    default:
        return 0;
    }
}

DWORD LockablePcScCardConnection::shareMode(std::uint32_t mode) {
    return mode == MODE_EXCLUSIVE ? SCARD_SHARE_EXCLUSIVE : SCARD_SHARE_SHARED;
}

DWORD LockablePcScCardConnection::dispositionValue(std::uint32_t disposition) {
    switch (disposition) {
    case LEAVE_CARD:
        return SCARD_LEAVE_CARD;
    case RESET_CARD:
        return SCARD_RESET_CARD;
    case UNPOWER_CARD:
        return SCARD_UNPOWER_CARD;
    case EJECT_CARD:
        return SCARD_EJECT_CARD;
    default:
        return 0;
    }
}

LockablePcScCardConnection::LockablePcScCardConnection(const PcScReader& reader, Mode mode,
                                                       Protocol protocol) {
    QV_ENTER("ctl::LockablePcScCardConnection::LockablePcScCardConnection");
    QV_TRACE_NAMED("reader.getName()",
                   reader.getName().empty() ? std::string("NULL") : reader.getName());
    QV_TRACE_NAMED("mode", modeText(mode));
    QV_TRACE_NAMED("protocol", protocolText(protocol));

    SCARDCONTEXT newContext = establishContext();
    SCARDHANDLE newHandle = 0;
    DWORD dwActiveProcotol = 0;
    LONG rv = SCardConnect(newContext, reader.getName().c_str(), shareMode(mode),
                           preferredProtocols(protocol), &newHandle, &dwActiveProcotol);
    QV_TRACE_CALL(
        "SCardConnectW(context, reader.getName(), mode == MODE_EXCLUSIVE ? 1 : 2, "
        "dwProtocol, &cardHandle, &dwActiveProcotol)",
        rv);
    if (rv != SCARD_S_SUCCESS) {
        releaseContext(newContext);
        fail(rv);
    }
    try {
        reattach(newContext, newHandle);
    } catch (...) {
        SCardDisconnect(newHandle, SCARD_LEAVE_CARD);
        releaseContext(newContext);
        throw;
    }
    disconnected = false;
}

LockablePcScCardConnection::~LockablePcScCardConnection() {
    QV_ENTER("ctl::LockablePcScCardConnection::~LockablePcScCardConnection");
    if (disconnected)
        return;
    try {
        disconnect(LEAVE_CARD);
    } catch (const CtlException& e) {
        QV_TRACE("EXCEPTION CAUGHT %s", e.what());
    } catch (...) {
        QV_TRACE("Uknown exception caught");
    }
}

void LockablePcScCardConnection::lock() {
    QV_ENTER("ctl::LockablePcScCardConnection::lock");
    LONG rv = SCardBeginTransaction(cardHandle);
    QV_TRACE_CALL("SCardBeginTransaction(cardHandle)", rv);
    if (rv != SCARD_S_SUCCESS)
        fail(rv);
    // The transaction alone does not prove it is still our card.
    LONG status = queryStatus();
    if (status != SCARD_S_SUCCESS) {
        LONG end = SCardEndTransaction(cardHandle, SCARD_LEAVE_CARD);
        QV_TRACE_CALL("SCardEndTransaction(cardHandle, dwDisposition)", end);
        fail(status);
    }
}

void LockablePcScCardConnection::unlock(Disposition disposition) {
    QV_ENTER("ctl::LockablePcScCardConnection::unlock");
    QV_TRACE_NAMED("mode", dispositionText(disposition));
    LONG rv = SCardEndTransaction(cardHandle, dispositionValue(disposition));
    QV_TRACE_CALL("SCardEndTransaction(cardHandle, dwDisposition)", rv);
    if (rv != SCARD_S_SUCCESS)
        fail(rv);
}

void LockablePcScCardConnection::disconnect(Disposition disposition) {
    QV_ENTER("ctl::LockablePcScCardConnection::disconnect");
    QV_TRACE_NAMED("mode", dispositionText(disposition));
    LONG rv = SCardDisconnect(cardHandle, dispositionValue(disposition));
    QV_TRACE_CALL("SCardDisconnect(cardHandle, dwDisposition)", rv);
    releaseContext(context);
    disconnected = true;
    if (rv != SCARD_S_SUCCESS)
        fail(rv);
}

}  // namespace ctl
