#pragma once
// Small cards and PC/SC wrappers for the service's own tests.
#include <atomic>
#include <functional>
#include <mutex>
#include <string>

#include <gtest/gtest.h>

#include "testpcsc/fixture.h"

namespace testpcsc::test {

// A card whose answers come from a function of the command; it counts resets
// and power-offs and keeps every command it received.
class ScriptedCard : public vcard::CardDevice {
public:
    using Handler = std::function<Bytes(const Bytes&)>;
    explicit ScriptedCard(Handler h, Bytes atr = {0x3B, 0x02, 0x14, 0x50})
        : handler_(std::move(h)), atr_(std::move(atr)) {}

    Bytes atr() const override { return atr_; }
    void powerOn() override {}
    void powerOff() override { ++powerOffs; }
    void reset() override { ++resets; }
    Bytes transmit(const Bytes& command) override {
        {
            std::lock_guard<std::mutex> lock(mu_);
            received_.push_back(command);
        }
        return handler_(command);
    }
    std::vector<Bytes> received() const {
        std::lock_guard<std::mutex> lock(mu_);
        return received_;
    }

    std::atomic<int> powerOffs{0}, resets{0};

private:
    Handler handler_;
    Bytes atr_;
    mutable std::mutex mu_;
    std::vector<Bytes> received_;
};

// Answers every command with `n` bytes 0x00, 0x01, ... followed by 90 00.
inline std::shared_ptr<ScriptedCard> dataCard(std::size_t n) {
    return std::make_shared<ScriptedCard>([n](const Bytes&) {
        Bytes r;
        for (std::size_t i = 0; i < n; ++i)
            r.push_back(std::uint8_t(i));
        r.push_back(0x90);
        r.push_back(0x00);
        return r;
    });
}

// Answers every command with one fixed status word.
inline std::shared_ptr<ScriptedCard> swCard(std::uint8_t sw1, std::uint8_t sw2) {
    return std::make_shared<ScriptedCard>([=](const Bytes&) { return Bytes{sw1, sw2}; });
}

inline SCARDCONTEXT establish() {
    SCARDCONTEXT ctx = 0;
    EXPECT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx), SCARD_S_SUCCESS);
    return ctx;
}

inline SCARDHANDLE connect(SCARDCONTEXT ctx, const std::string& reader, DWORD* protocol = nullptr,
                           DWORD share = SCARD_SHARE_SHARED) {
    SCARDHANDLE h = 0;
    DWORD p = 0;
    EXPECT_EQ(
        SCardConnect(ctx, reader.c_str(), share, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &h, &p),
        SCARD_S_SUCCESS);
    if (protocol)
        *protocol = p;
    return h;
}

struct TransmitResult {
    LONG rv;
    Bytes response;
};

inline TransmitResult transmit(SCARDHANDLE h, const Bytes& cmd,
                               DWORD protocol = SCARD_PROTOCOL_T1) {
    std::uint8_t buf[300];
    DWORD len = sizeof buf;
    LONG rv = SCardTransmit(h, protocol == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1,
                            cmd.data(), DWORD(cmd.size()), nullptr, buf, &len);
    return {rv, rv == SCARD_S_SUCCESS ? Bytes(buf, buf + len) : Bytes{}};
}

inline LONG status(SCARDHANDLE h) {
    DWORD len = 0, state = 0, proto = 0;
    return SCardStatus(h, nullptr, &len, &state, &proto, nullptr, nullptr);
}

}  // namespace testpcsc::test
