// The trace records of the transport, compared literally over a connection's
// whole life.
#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>

#include "ctlhelpers.h"
#include "processlog.h"

namespace ctltest {
namespace {

using ctl::CardConnection;
using logrecords::emptyLine;
using logrecords::Expected;
using logrecords::newLines;

const auto* const environment = ::testing::AddGlobalTestEnvironment(new logrecords::EnabledLog);

Expected ctl(int depth, const std::string& body) { return logrecords::record("CTL", depth, body); }

// The value text of the record "<name> = <value>" among `lines`.
std::string valueOf(const std::vector<std::string>& lines, const std::string& name) {
    const std::regex re(" " + name + " = ([0-9]+ \\[0x[0-9a-f]{8}\\])$");
    for (const std::string& line : lines) {
        std::smatch m;
        if (std::regex_search(line, m, re))
            return m[1];
    }
    ADD_FAILURE() << "no record for " << name;
    return "";
}

const char* const kStatus =
    "SCardStatusW(cardHandle, NULL, &dwReaderLen , &dwState, NULL, NULL, NULL) return value: "
    "0x00000000";
const char* const kTransmit =
    "SCardTransmit( cardHandle, protocol == PROTOCOL_T0 ? (&g_rgSCardT0Pci) : (&g_rgSCardT1Pci), "
    "send_buff, (DWORD)send_buff_len, 0, recvBuff, &dwRealRecvBuffLen) return value: 0x00000000";
const char* const kEstablish = "SCardEstablishContext(2, 0, 0, &context) return value: 0x00000000";

class TraceTest : public testpcsc::ServiceTest {
protected:
    void SetUp() override {
        ServiceTest::SetUp();
        ASSERT_TRUE(Logger::instance().isEnabled());
        newLines();
    }
};

TEST_F(TraceTest, ConnectionLifecycle) {
    svc.addReader("Reader 0",
                  testpcsc::ReaderOptions{testpcsc::PinPadFeatures::VerifyAndModify, std::nullopt});
    // Answers with four bytes of data; on T=0 the reader turns that into 61 04.
    svc.insertCard("Reader 0", std::make_shared<ScriptedCard>([](const Bytes&) {
                       return Bytes{0x01, 0x02, 0x03, 0x04, 0x90, 0x00};
                   }),
                   testpcsc::Protocol::T0);
    {
        auto c = connect("Reader 0");
        c->lock();
        // A secret command: only its header is logged, and the GET RESPONSE
        // that fetches its answer is masked as well.
        EXPECT_EQ(roundTrip(*c, {0x80, 0x20, 0x00, 0x01, 0x04, '1', '2', '3', '4', 0x04},
                            CardConnection::SENSITIVE),
                  (Bytes{0x01, 0x02, 0x03, 0x04, 0x90, 0x00}));
        Bytes longCommand = {0x80, 0xDA, 0x00, 0x00, 0x11};
        for (std::uint8_t i = 0; i < 17; ++i)
            longCommand.push_back(i);
        roundTrip(*c, longCommand);
        c->unlock(CardConnection::UNPOWER_CARD);
    }
    const std::vector<std::string> lines = newLines();
    const std::string context = valueOf(lines, "scardContext");
    const std::string handle = valueOf(lines, "scardHandle");
    logrecords::expectLines(
        lines,
        {
            ctl(0, "Entering ctl::LockablePcScCardConnection::LockablePcScCardConnection()"),
            ctl(1, "reader.getName() = Reader 0"),
            ctl(1, "mode = ctl::CardConnection::MODE_SHARED[1]"),
            ctl(1, "protocol = ctl::CardConnection::PROTOCOL_T0_OR_T1[3]"),
            ctl(1, kEstablish),
            ctl(1,
                "SCardConnectW(context, reader.getName(), mode == MODE_EXCLUSIVE ? 1 : 2, "
                "dwProtocol, &cardHandle, &dwActiveProcotol) return value: 0x00000000"),
            ctl(1, "Entering ctl::PcScCardConnection::reattach()"),
            ctl(2, "scardContext = " + context),
            ctl(2, "scardHandle = " + handle),
            ctl(2,
                "SCardStatusA(scardHandle, dummy_buffer, &dummy_len, &dummy_state, &dwProtocol, "
                "atr, &dwAtrLen) return value: 0x00000000"),
            ctl(2, "Entering ctl::PcScCardConnection::checkPinPadSupport()"),
            ctl(3,
                "SCardControl(cardHandle, CM_IOCTL_GET_FEATURE_REQUEST, NULL, 0, NULL, 0, &len) "
                "return value: 0x80100008"),
            ctl(3,
                "SCardControl(cardHandle, CM_IOCTL_GET_FEATURE_REQUEST, NULL, 0, data, len, &len) "
                "return value: 0x00000000"),
            ctl(3, "SCardControl() returned 06 04 42 33 00 06 07 04 42 33 00 07"),
            ctl(3, "pinPadAvailable = true"),
            ctl(2, "Leaving ctl::PcScCardConnection::checkPinPadSupport"),
            ctl(1, "Leaving ctl::PcScCardConnection::reattach"),
            ctl(0, "Leaving ctl::LockablePcScCardConnection::LockablePcScCardConnection"),
            emptyLine(),

            ctl(0, "Entering ctl::LockablePcScCardConnection::lock()"),
            ctl(1, "SCardBeginTransaction(cardHandle) return value: 0x00000000"),
            ctl(1, kStatus),
            ctl(0, "Leaving ctl::LockablePcScCardConnection::lock"),
            emptyLine(),

            ctl(0, "Entering ctl::PcScCardConnection::transmit()"),
            ctl(1, "Entering ctl::PcScCardConnection::transmit0()"),
            ctl(2, "send_buff = 80 20 00 01 ******"),
            ctl(2, kTransmit),
            ctl(2, "dwRealRecvBuffLen = 2 [0x00000002]"),
            ctl(2, "recvBuff = ******"),
            ctl(1, "Leaving ctl::PcScCardConnection::transmit0"),
            ctl(1, "Entering ctl::PcScCardConnection::transmit0()"),
            ctl(2, "send_buff = 00 C0 00 00 ******"),
            ctl(2, kTransmit),
            ctl(2, "dwRealRecvBuffLen = 6 [0x00000006]"),
            ctl(2, "recvBuff = ******"),
            ctl(1, "Leaving ctl::PcScCardConnection::transmit0"),
            ctl(0, "Leaving ctl::PcScCardConnection::transmit"),
            emptyLine(),

            ctl(0, "Entering ctl::PcScCardConnection::transmit()"),
            ctl(1, "Entering ctl::PcScCardConnection::transmit0()"),
            ctl(2, "send_buff =  80 DA 00 00 11 00 01 02 03 04 05 06 07 08 09 0A"),
            ctl(2, "             0B 0C 0D 0E 0F 10"),
            ctl(2, kTransmit),
            ctl(2, "dwRealRecvBuffLen = 2 [0x00000002]"),
            ctl(2, "recvBuff =  61 04"),
            ctl(1, "Leaving ctl::PcScCardConnection::transmit0"),
            ctl(1, "Entering ctl::PcScCardConnection::transmit0()"),
            ctl(2, "send_buff =  00 C0 00 00 04"),
            ctl(2, kTransmit),
            ctl(2, "dwRealRecvBuffLen = 6 [0x00000006]"),
            ctl(2, "recvBuff =  01 02 03 04 90 00"),
            ctl(1, "Leaving ctl::PcScCardConnection::transmit0"),
            ctl(0, "Leaving ctl::PcScCardConnection::transmit"),
            emptyLine(),

            ctl(0, "Entering ctl::LockablePcScCardConnection::unlock()"),
            ctl(1, "mode = ctl::CardConnection::UNPOWER_CARD[3]"),
            ctl(1, "SCardEndTransaction(cardHandle, dwDisposition) return value: 0x00000000"),
            ctl(0, "Leaving ctl::LockablePcScCardConnection::unlock"),
            emptyLine(),

            ctl(0, "Entering ctl::LockablePcScCardConnection::~LockablePcScCardConnection()"),
            ctl(1, "Entering ctl::LockablePcScCardConnection::disconnect()"),
            ctl(2, "mode = ctl::CardConnection::LEAVE_CARD[1]"),
            ctl(2, "SCardDisconnect(cardHandle, dwDisposition) return value: 0x00000000"),
            ctl(1, "Leaving ctl::LockablePcScCardConnection::disconnect"),
            ctl(0, "Leaving ctl::LockablePcScCardConnection::~LockablePcScCardConnection"),
            emptyLine(),
        });
}

}  // namespace
}  // namespace ctltest
