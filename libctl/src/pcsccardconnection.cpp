#include "ctl/pcsccardconnection.h"

#include <endian.h>
#include <reader.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "configuration.h"
#include "pcsc.h"

QV_TRACE_UNIT("CTL", "libctl/src/pcsccardconnection");

namespace ctl {

using namespace detail;

namespace {

constexpr DWORD PINPAD_OUTPUT_CAPACITY = 1024;

// Both PIN pad structures: the reader takes 1 to 8 digits (0xXXYY, XX the
// least, YY the most), ends the entry on its validation key, and shows its
// prompts in this language; what it displays is its own business.
constexpr std::uint16_t PIN_DIGITS = 0x0108;
constexpr std::uint8_t ENTRY_ENDS_ON_VALIDATION_KEY = 0x02;
constexpr std::uint16_t PROMPT_LANGUAGE = 0x0404;
constexpr std::uint8_t SECONDS_AFTER_FIRST_KEY = 0x37;

// The structure's fields followed by the APDU. The total is exactly the
// header and the APDU: the CCID driver refuses a structure with anything
// after the APDU, so a zero-filled structure of fixed size never reaches a
// real PIN pad.
template <class Header>
std::vector<std::uint8_t> withApdu(const Header& header, const std::uint8_t* apdu,
                                   std::size_t apduLength) {
    std::vector<std::uint8_t> block(sizeof header + apduLength);
    std::memcpy(block.data(), &header, sizeof header);
    if (apduLength > 0)
        std::memcpy(block.data() + sizeof header, apdu, apduLength);
    return block;
}

// `pinOffset` counts from the start of the APDU, as the card driver sees the
// command; the reader counts from the end of its 5-byte header.
std::vector<std::uint8_t> pinVerifyBlock(std::uint8_t pinOffset, const std::uint8_t* apdu,
                                         std::size_t apduLength) {
    PIN_VERIFY_STRUCTURE pin{};
    pin.bTimerOut = 0x00;  // the reader's own timeout
    pin.bTimerOut2 = SECONDS_AFTER_FIRST_KEY;
    // The PIN goes pinOffset - 5 bytes into the command data (units of
    // bytes, 0x80), left-justified, as ASCII digits (0x02).
    pin.bmFormatString =
        static_cast<std::uint8_t>(0x82 | static_cast<std::uint8_t>((pinOffset - 5) << 3));
    // No PIN block size and no PIN length field: the APDU carries the digits only.
    pin.bmPINBlockString = 0x00;
    pin.bmPINLengthFormat = 0x00;
    pin.wPINMaxExtraDigit = htole16(PIN_DIGITS);
    pin.bEntryValidationCondition = ENTRY_ENDS_ON_VALIDATION_KEY;
    pin.bNumberMessage = 0x01;
    pin.wLangId = htole16(PROMPT_LANGUAGE);
    pin.bMsgIndex = 0x00;  // "enter PIN"
    // bTeoPrologue stays zero: the reader builds T=1 blocks itself.
    pin.ulDataLength = htole32(static_cast<std::uint32_t>(apduLength));
    return withApdu(pin, apdu, apduLength);
}

// The current PIN is asked for when `enterOldPin` is 1, the new one is
// confirmed when `confirmNewPin` is 1; each PIN asked for has its prompt.
std::vector<std::uint8_t> pinModifyBlock(std::uint8_t enterOldPin, std::uint8_t confirmNewPin,
                                         std::uint8_t oldPinOffset, std::uint8_t newPinOffset,
                                         const std::uint8_t* apdu, std::size_t apduLength) {
    const bool old = enterOldPin != 0;
    const bool confirm = confirmNewPin != 0;
    PIN_MODIFY_STRUCTURE pin{};
    pin.bTimerOut = 0x01;
    pin.bTimerOut2 = SECONDS_AFTER_FIRST_KEY;
    // Each PIN right at its insertion offset below, left-justified ASCII
    // digits (0x02) in an 8-byte block (0x08), no PIN length field.
    pin.bmFormatString = 0x02;
    pin.bmPINBlockString = 0x08;
    pin.bmPINLengthFormat = 0x00;
    pin.bInsertionOffsetOld = static_cast<std::uint8_t>(oldPinOffset - 5);
    pin.bInsertionOffsetNew = static_cast<std::uint8_t>(newPinOffset - 5);
    pin.wPINMaxExtraDigit = htole16(PIN_DIGITS);
    pin.bConfirmPIN = static_cast<std::uint8_t>((confirmNewPin == 1 ? 0x01 : 0x00) |
                                                (enterOldPin == 1 ? 0x02 : 0x00));
    pin.bEntryValidationCondition = ENTRY_ENDS_ON_VALIDATION_KEY;
    // Prompts in the order asked: current PIN (0), new PIN (1), confirmation (2).
    pin.bNumberMessage = static_cast<std::uint8_t>(1 + (old ? 1 : 0) + (confirm ? 1 : 0));
    pin.wLangId = htole16(PROMPT_LANGUAGE);
    pin.bMsgIndex1 = old ? 0x00 : 0x01;
    pin.bMsgIndex2 = old ? 0x01 : (confirm ? 0x02 : 0x00);
    pin.bMsgIndex3 = (old && confirm) ? 0x02 : 0x00;
    pin.ulDataLength = htole32(static_cast<std::uint32_t>(apduLength));
    return withApdu(pin, apdu, apduLength);
}

}  // namespace

LONG PcScCardConnection::queryStatus() {
    DWORD dwReaderLen = 0;
    DWORD dwState = 0;
    LONG rv = SCardStatus(cardHandle, nullptr, &dwReaderLen, &dwState, nullptr, nullptr, nullptr);
    QV_TRACE_CALL("SCardStatusW(cardHandle, NULL, &dwReaderLen , &dwState, NULL, NULL, NULL)", rv);
    return rv;
}

bool PcScCardConnection::isValid() {
    QV_ENTER("ctl::PcScCardConnection::isValid");
    return queryStatus() == SCARD_S_SUCCESS;
}

void PcScCardConnection::reattach(SCARDCONTEXT scardContext, SCARDHANDLE scardHandle) {
    QV_ENTER("ctl::PcScCardConnection::reattach");
    QV_TRACE_VALUE(scardContext);
    QV_TRACE_VALUE(scardHandle);
    if (scardContext == context && scardHandle == cardHandle)
        return;

    // Only the active protocol matters here.
    char dummy_buffer[1024];
    DWORD dummy_len = sizeof dummy_buffer;
    DWORD dummy_state = 0;
    DWORD dwProtocol = 0;
    BYTE atr[128];
    DWORD dwAtrLen = sizeof atr;
    LONG rv = SCardStatus(scardHandle, dummy_buffer, &dummy_len, &dummy_state, &dwProtocol, atr,
                          &dwAtrLen);
    QV_TRACE_CALL(
        "SCardStatusA(scardHandle, dummy_buffer, &dummy_len, &dummy_state, "
        "&dwProtocol, atr, &dwAtrLen)",
        rv);
    if (rv != SCARD_S_SUCCESS)
        fail(rv);

    context = scardContext;
    cardHandle = scardHandle;
    protocol = dwProtocol == SCARD_PROTOCOL_T0 ? PROTOCOL_T0 : PROTOCOL_T1;
    pinPadVerifyPinDirectCode = 0;
    pinPadModifyPinDirectCode = 0;
    pinPadAvailable = false;
    checkPinPadSupport();
}

void PcScCardConnection::checkPinPadSupport() {
    QV_ENTER("ctl::PcScCardConnection::checkPinPadSupport");
    if (Configuration::instance().isPinPadDisabled()) {
        QV_TRACE("PINPAD explicitly DISABLED");
        return;
    }

    DWORD len = 0;
    LONG rv = SCardControl(cardHandle, CM_IOCTL_GET_FEATURE_REQUEST, nullptr, 0, nullptr, 0, &len);
    QV_TRACE_CALL("SCardControl(cardHandle, CM_IOCTL_GET_FEATURE_REQUEST, NULL, 0, NULL, 0, &len)",
                  rv);
    if (rv == SCARD_E_INSUFFICIENT_BUFFER) {
        // pcsc-lite cannot tell the answer's length in advance: a reader with
        // features refuses the empty buffer. Ask with room for the longest answer.
        len = std::max<DWORD>(len, MAX_BUFFER_SIZE);
    } else if (rv != SCARD_S_SUCCESS) {
        return;
    }

    std::vector<std::uint8_t> data(len);
    rv = SCardControl(cardHandle, CM_IOCTL_GET_FEATURE_REQUEST, nullptr, 0, data.data(), len, &len);
    QV_TRACE_CALL(
        "SCardControl(cardHandle, CM_IOCTL_GET_FEATURE_REQUEST, NULL, 0, data, len, &len)", rv);
    bool verifyFound = false;
    bool modifyFound = false;
    if (rv == SCARD_S_SUCCESS) {
        const std::size_t length = std::min<std::size_t>(len, data.size());
        QV_TRACE_BYTES("SCardControl() returned", data.data(), length);
        // Tag, length, value records; only 4-byte values that fit are codes.
        for (std::size_t i = 0; i + 1 < length; i += std::size_t(data[i + 1]) + 2) {
            const std::uint8_t tag = data[i];
            if (data[i + 1] != 4 || i + 2 + 4 > length)
                continue;
            const DWORD value = (DWORD(data[i + 2]) << 24) | (DWORD(data[i + 3]) << 16) |
                                (DWORD(data[i + 4]) << 8) | DWORD(data[i + 5]);
            if (tag == FEATURE_VERIFY_PIN_DIRECT) {
                pinPadVerifyPinDirectCode = value;
                verifyFound = true;
            } else if (tag == FEATURE_MODIFY_PIN_DIRECT) {
                pinPadModifyPinDirectCode = value;
                modifyFound = true;
            }
        }
    }
    pinPadAvailable = verifyFound && modifyFound;
    QV_TRACE_VALUE(pinPadAvailable);
}

std::uint16_t PcScCardConnection::transmit0(const std::uint8_t* command, std::size_t commandLength,
                                            std::uint8_t* response, std::size_t* responseLength,
                                            std::uint32_t sensitive) {
    QV_ENTER("ctl::PcScCardConnection::transmit0");
    QV_REQUIRE(responseLength);
    if (!(sensitive & SENSITIVE))
        QV_TRACE_BYTES_WRAPPED("send_buff = ", command, commandLength);
    else if (command != nullptr && commandLength >= 4)
        QV_TRACE("send_buff = %02X %02X %02X %02X ******", command[0], command[1], command[2],
                 command[3]);
    else
        QV_TRACE("send_buff = ******");

    const std::size_t capacity = *responseLength;
    DWORD dwRealRecvBuffLen = static_cast<DWORD>(capacity);
    LONG rv =
        SCardTransmit(cardHandle, protocol == PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1, command,
                      static_cast<DWORD>(commandLength), nullptr, response, &dwRealRecvBuffLen);
    QV_TRACE_CALL(
        "SCardTransmit( cardHandle, protocol == PROTOCOL_T0 ? (&g_rgSCardT0Pci) : "
        "(&g_rgSCardT1Pci), send_buff, (DWORD)send_buff_len, 0, recvBuff, "
        "&dwRealRecvBuffLen)",
        rv);
    if (rv != SCARD_S_SUCCESS)
        fail(rv);

    QV_TRACE_VALUE(dwRealRecvBuffLen);
    if (sensitive & SENSITIVE)
        QV_TRACE("recvBuff = ******");
    else
        QV_TRACE_BYTES_WRAPPED("recvBuff = ", response,
                               std::min<std::size_t>(dwRealRecvBuffLen, capacity));
    if (dwRealRecvBuffLen > capacity)
        throw CtlException(RESPONSE_TOO_LONG);
    if (dwRealRecvBuffLen >= 2) {
        *responseLength = dwRealRecvBuffLen - 2;
        return static_cast<std::uint16_t>((response[dwRealRecvBuffLen - 2] << 8) |
                                          response[dwRealRecvBuffLen - 1]);
    }
    QV_TRACE("INVALID RESPONSE FROM SCardTransmit, at least 2 bytes expected");
    QV_TRACE_VALUE(dwRealRecvBuffLen);
    throw CtlException(RESPONSE_TOO_SHORT);
}

std::uint16_t PcScCardConnection::transmit(const std::uint8_t* command, std::size_t commandLength,
                                           std::uint8_t* response, std::size_t* responseLength,
                                           std::uint32_t sensitive) {
    QV_ENTER("ctl::PcScCardConnection::transmit");
    QV_REQUIRE(responseLength);
    const std::size_t capacity = *responseLength;
    std::size_t length = commandLength;
    // A T=0 reader takes a case 4 command without its trailing Le.
    if (protocol == PROTOCOL_T0 && command != nullptr && length > 5 &&
        length == std::size_t(command[4]) + 6)
        --length;
    std::uint16_t sw = transmit0(command, length, response, responseLength, sensitive);
    if ((sw & 0xFF00) == 0x6100) {
        // The answer of a sensitive command arrives here (a decrypted block,
        // a session PIN), so this exchange stays masked in the log too.
        const std::uint8_t getResponse[5] = {0x00, 0xC0, 0x00, 0x00, static_cast<std::uint8_t>(sw)};
        *responseLength = capacity;
        sw = transmit0(getResponse, sizeof getResponse, response, responseLength, sensitive);
    }
    return sw;
}

std::uint16_t PcScCardConnection::pinPadOperation(const char* operation, DWORD controlCode,
                                                  const char* callText,
                                                  const std::vector<std::uint8_t>& structure) {
    std::uint8_t apdu_result[PINPAD_OUTPUT_CAPACITY];
    DWORD output_len = sizeof apdu_result;
    LONG rv =
        SCardControl(cardHandle, controlCode, structure.data(),
                     static_cast<DWORD>(structure.size()), apdu_result, output_len, &output_len);
    QV_TRACE_CALL(callText, rv);
    if (rv != SCARD_S_SUCCESS)
        fail(rv);
    if (output_len == 2)
        return static_cast<std::uint16_t>((apdu_result[0] << 8) | apdu_result[1]);
    QV_TRACE_OUT_VALUE(output_len);
    QV_TRACE_BYTES("[OUT] ", apdu_result, std::min<std::size_t>(output_len, sizeof apdu_result));
    throw InternalErrorException(
        "%s(): Unexpected number of bytes returned from SCardControl(): %d", operation,
        static_cast<int>(output_len));
}

std::uint16_t PcScCardConnection::pinPadVerify(std::uint8_t pinOffset, const std::uint8_t* apdu,
                                               std::size_t apduLength) {
    QV_ENTER("ctl::PcScCardConnection::pinPadVerify");
    if (!pinPadAvailable)
        throw CtlException(PINPAD_NOT_AVAILABLE);
    if (apduLength > MAX_PINPAD_APDU_LENGTH)
        throw CtlException(PINPAD_APDU_TOO_LONG);
    return pinPadOperation("pinPadVerify", pinPadVerifyPinDirectCode,
                           "SCardControl(cardHandle, pinPadVerifyPinDirectCode, &pin_op_structure, "
                           "sizeof(pin_op_structure), apdu_result, output_len, &output_len)",
                           pinVerifyBlock(pinOffset, apdu, apduLength));
}

std::uint16_t PcScCardConnection::pinPadModify(std::uint8_t enterOldPin, std::uint8_t confirmNewPin,
                                               std::uint8_t oldPinOffset, std::uint8_t newPinOffset,
                                               const std::uint8_t* apdu, std::size_t apduLength) {
    QV_ENTER("ctl::PcScCardConnection::pinPadModify");
    if (!pinPadAvailable)
        throw CtlException(PINPAD_NOT_AVAILABLE);
    if (apduLength > MAX_PINPAD_APDU_LENGTH)
        throw CtlException(PINPAD_APDU_TOO_LONG);
    return pinPadOperation(
        "pinPadModify", pinPadModifyPinDirectCode,
        "SCardControl(cardHandle, pinPadModifyPinDirectCode, &pin_op_structure, "
        "sizeof(pin_op_structure), apdu_result, output_len, &output_len)",
        pinModifyBlock(enterOldPin, confirmNewPin, oldPinOffset, newPinOffset, apdu, apduLength));
}

}  // namespace ctl
