#include "ctl/pcsccardconnection.h"

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

void putLittleEndian16(std::uint8_t* out, std::uint16_t value) {
    out[0] = static_cast<std::uint8_t>(value);
    out[1] = static_cast<std::uint8_t>(value >> 8);
}

void putLittleEndian32(std::uint8_t* out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<std::uint8_t>(value >> (8 * i));
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
        const std::uint8_t getResponse[5] = {0x00, 0xC0, 0x00, 0x00, static_cast<std::uint8_t>(sw)};
        *responseLength = capacity;
        sw = transmit0(getResponse, sizeof getResponse, response, responseLength,
                       sensitive & ~std::uint32_t(SENSITIVE));
    }
    return sw;
}

void PcScCardConnection::buildPinVerifyStructure(std::uint8_t pinOffset, const std::uint8_t* apdu,
                                                 std::size_t apduLength, std::uint8_t* out) {
    std::memset(out, 0, PIN_VERIFY_STRUCTURE_LENGTH);
    out[0] = 0x00;  // timeout
    out[1] = 0x37;  // second timeout
    // Position in bytes, PIN placed pinOffset - 5 bytes after the header,
    // left-justified, ASCII.
    out[2] = static_cast<std::uint8_t>(0x82 | static_cast<std::uint8_t>((pinOffset - 5) << 3));
    out[3] = 0x00;                       // PIN block
    out[4] = 0x00;                       // PIN length format
    putLittleEndian16(out + 5, 0x0108);  // 1 to 8 digits
    out[7] = 0x02;                       // validation key
    out[8] = 0x01;                       // one message
    putLittleEndian16(out + 9, 0x0404);
    out[11] = 0x00;  // message index
    putLittleEndian32(out + 15, static_cast<std::uint32_t>(apduLength));
    if (apduLength > 0)
        std::memcpy(out + 19, apdu, std::min(apduLength, MAX_PINPAD_APDU_LENGTH));
}

void PcScCardConnection::buildPinModifyStructure(std::uint8_t enterOldPin,
                                                 std::uint8_t confirmNewPin,
                                                 std::uint8_t oldPinOffset,
                                                 std::uint8_t newPinOffset,
                                                 const std::uint8_t* apdu, std::size_t apduLength,
                                                 std::uint8_t* out) {
    std::memset(out, 0, PIN_MODIFY_STRUCTURE_LENGTH);
    out[0] = 0x01;  // timeout
    out[1] = 0x37;  // second timeout
    out[2] = 0x02;  // format
    out[3] = 0x08;  // PIN block
    out[4] = 0x00;  // PIN length format
    out[5] = static_cast<std::uint8_t>(oldPinOffset - 5);
    out[6] = static_cast<std::uint8_t>(newPinOffset - 5);
    putLittleEndian16(out + 7, 0x0108);
    out[9] = static_cast<std::uint8_t>((confirmNewPin == 1 ? 0x01 : 0x00) |
                                       (enterOldPin == 1 ? 0x02 : 0x00));
    out[10] = 0x02;  // validation key
    out[11] =
        static_cast<std::uint8_t>(1 + (enterOldPin != 0 ? 1 : 0) + (confirmNewPin != 0 ? 1 : 0));
    putLittleEndian16(out + 12, 0x0404);
    out[14] = enterOldPin != 0 ? 0x00 : 0x01;
    out[15] = enterOldPin != 0 ? 0x01 : (confirmNewPin != 0 ? 0x02 : 0x00);
    out[16] = (enterOldPin != 0 && confirmNewPin != 0) ? 0x02 : 0x00;
    putLittleEndian32(out + 20, static_cast<std::uint32_t>(apduLength));
    if (apduLength > 0)
        std::memcpy(out + 24, apdu, std::min(apduLength, MAX_PINPAD_APDU_LENGTH));
}

std::uint16_t PcScCardConnection::pinPadOperation(const char* operation, DWORD controlCode,
                                                  const char* callText,
                                                  const std::uint8_t* structure,
                                                  std::size_t structureLength) {
    std::uint8_t apdu_result[PINPAD_OUTPUT_CAPACITY];
    DWORD output_len = sizeof apdu_result;
    LONG rv = SCardControl(cardHandle, controlCode, structure, static_cast<DWORD>(structureLength),
                           apdu_result, output_len, &output_len);
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
    std::uint8_t pin_op_structure[PIN_VERIFY_STRUCTURE_LENGTH];
    buildPinVerifyStructure(pinOffset, apdu, apduLength, pin_op_structure);
    return pinPadOperation("pinPadVerify", pinPadVerifyPinDirectCode,
                           "SCardControl(cardHandle, pinPadVerifyPinDirectCode, &pin_op_structure, "
                           "sizeof(pin_op_structure), apdu_result, output_len, &output_len)",
                           pin_op_structure, sizeof pin_op_structure);
}

std::uint16_t PcScCardConnection::pinPadModify(std::uint8_t enterOldPin, std::uint8_t confirmNewPin,
                                               std::uint8_t oldPinOffset, std::uint8_t newPinOffset,
                                               const std::uint8_t* apdu, std::size_t apduLength) {
    QV_ENTER("ctl::PcScCardConnection::pinPadModify");
    if (!pinPadAvailable)
        throw CtlException(PINPAD_NOT_AVAILABLE);
    if (apduLength > MAX_PINPAD_APDU_LENGTH)
        throw CtlException(PINPAD_APDU_TOO_LONG);
    std::uint8_t pin_op_structure[PIN_MODIFY_STRUCTURE_LENGTH];
    buildPinModifyStructure(enterOldPin, confirmNewPin, oldPinOffset, newPinOffset, apdu,
                            apduLength, pin_op_structure);
    return pinPadOperation("pinPadModify", pinPadModifyPinDirectCode,
                           "SCardControl(cardHandle, pinPadModifyPinDirectCode, &pin_op_structure, "
                           "sizeof(pin_op_structure), apdu_result, output_len, &output_len)",
                           pin_op_structure, sizeof pin_op_structure);
}

}  // namespace ctl
