#pragma once
// Shared pieces of the transport's tests: the service's scripted cards and a
// way to read the PC/SC code out of a failure.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>

#include "ctl/lockablepcsccardconnection.h"
#include "exceptions.h"
#include "testing_pcsc/helpers.h"

namespace ctltest {

using testpcsc::Bytes;
using testpcsc::test::ScriptedCard;

// The PC/SC code `fn` fails with; 0 (and a test failure) when it does not
// throw ctl::CtlException.
inline std::uint32_t failureCode(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const ctl::CtlException& e) {
        return e.getCode();
    }
    ADD_FAILURE() << "expected ctl::CtlException";
    return 0;
}

inline std::shared_ptr<ctl::LockablePcScCardConnection> connect(
    const std::string& reader, ctl::CardConnection::Mode mode = ctl::CardConnection::MODE_SHARED) {
    return std::make_shared<ctl::LockablePcScCardConnection>(
        ctl::PcScReader(reader), mode, ctl::CardConnection::PROTOCOL_T0_OR_T1);
}

// Sends `command` through the connection; the data and status word as one buffer.
inline Bytes roundTrip(ctl::CardConnection& c, const Bytes& command, std::uint32_t sensitive = 0,
                       std::size_t capacity = 258) {
    Bytes response(capacity);
    std::size_t length = capacity;
    std::uint16_t sw =
        c.transmit(command.data(), command.size(), response.data(), &length, sensitive);
    response.resize(length);
    response.push_back(static_cast<std::uint8_t>(sw >> 8));
    response.push_back(static_cast<std::uint8_t>(sw));
    return response;
}

}  // namespace ctltest
