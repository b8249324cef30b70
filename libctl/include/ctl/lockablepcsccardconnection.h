#pragma once
// The card connection a session holds: connects on construction, brackets
// each unit of work in a PC/SC transaction, disconnects on destruction.
#include "ctl/pcsccardconnection.h"
#include "ctl/pcscreader.h"

namespace ctl {

class LockablePcScCardConnection : public PcScCardConnection {
public:
    // Connects to the card in `reader`; throws ctl::CtlException.
    LockablePcScCardConnection(const PcScReader& reader, Mode mode, Protocol protocol);
    // Disconnects with LEAVE_CARD unless already disconnected; never throws.
    ~LockablePcScCardConnection() override;
    LockablePcScCardConnection(const LockablePcScCardConnection&) = delete;
    LockablePcScCardConnection& operator=(const LockablePcScCardConnection&) = delete;

    // Begins a transaction and checks that the card is still the one
    // connected: a card reset or removed since then fails here.
    void lock();
    void unlock(Disposition disposition);
    // Disconnects and releases the context; `disconnected` is set even when
    // the disconnect itself fails (and throws).
    void disconnect(Disposition disposition);

    bool isDisconnected() const { return disconnected; }

    // PC/SC values of the enumerations (others map to 0).
    static DWORD preferredProtocols(std::uint32_t protocol);
    static DWORD shareMode(std::uint32_t mode);
    static DWORD dispositionValue(std::uint32_t disposition);

private:
    bool disconnected = true;
};

}  // namespace ctl
