// The reader's feature list and the scripted PIN pad behind verify/modify PIN direct.
#include <tuple>

#include "helpers.h"

namespace testpcsc::test {
namespace {

// A PIN command template: header, Lc 8, eight 0xFF filler bytes.
const Bytes kVerifyApdu = {0x80, 0x20, 0x00, 0x01, 0x08, 0xFF, 0xFF,
                           0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

void putLe32(Bytes& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[at + i] = std::uint8_t(v >> (8 * i));
}

// The verify structure: PIN as ASCII, left-justified, `pinOffset` counted
// from the start of the APDU, 1 to 8 digits.
Bytes verifyStructure(const Bytes& apdu, std::uint8_t pinOffset) {
    Bytes s(19 + apdu.size(), 0);
    s[1] = 0x37;
    s[2] = std::uint8_t(0x82 | ((pinOffset - 5) << 3));
    s[5] = 0x08;
    s[6] = 0x01;
    s[7] = 0x02;
    s[8] = 0x01;
    s[9] = 0x04;
    s[10] = 0x04;
    putLe32(s, 15, std::uint32_t(apdu.size()));
    std::copy(apdu.begin(), apdu.end(), s.begin() + 19);
    return s;
}

// The modify structure with 8-byte PIN blocks at the two offsets.
Bytes modifyStructure(const Bytes& apdu, bool enterOld, bool confirm, std::uint8_t oldOffset,
                      std::uint8_t newOffset) {
    Bytes s(24 + apdu.size(), 0);
    s[0] = 0x01;
    s[1] = 0x37;
    s[2] = 0x02;
    s[3] = 0x08;
    s[5] = std::uint8_t(oldOffset - 5);
    s[6] = std::uint8_t(newOffset - 5);
    s[7] = 0x08;
    s[8] = 0x01;
    s[9] = std::uint8_t((confirm ? 0x01 : 0) | (enterOld ? 0x02 : 0));
    s[10] = 0x02;
    s[11] = std::uint8_t(1 + enterOld + confirm);
    s[12] = 0x04;
    s[13] = 0x04;
    putLe32(s, 20, std::uint32_t(apdu.size()));
    std::copy(apdu.begin(), apdu.end(), s.begin() + 24);
    return s;
}

struct ControlResult {
    LONG rv;
    Bytes out;
};

ControlResult control(SCARDHANDLE h, DWORD code, const Bytes& in, DWORD outCapacity = 1024) {
    Bytes out(outCapacity);
    DWORD len = 0;
    LONG rv = SCardControl(h, code, in.empty() ? nullptr : in.data(), DWORD(in.size()),
                           outCapacity ? out.data() : nullptr, outCapacity, &len);
    out.resize(rv == SCARD_S_SUCCESS ? len : 0);
    return {rv, out};
}

class PinPadTest : public ServiceTest {
protected:
    SCARDHANDLE setUpReader(PinPadFeatures f,
                            std::shared_ptr<ScriptedCard> c = swCard(0x90, 0x00)) {
        ReaderOptions o;
        o.pinPad = f;
        svc.addReader("Pad", o);
        card = c;
        svc.insertCard("Pad", card);
        return connect(establish(), "Pad");
    }
    std::shared_ptr<ScriptedCard> card;
};

// One verify per row: the digits go where the structure says and the card's
// answer comes back unchanged, or the pad answers by itself. (The pad's
// cancel and timeout come back through the transport in its own tests.)
TEST_F(PinPadTest, VerifyFillsTheApduOrAnswersItself) {
    Bytes digitsAt7 = kVerifyApdu;
    std::copy_n(Bytes{'1', '2', '3', '4'}.begin(), 4, digitsAt7.begin() + 7);
    struct Row {
        std::uint8_t pinOffset;
        std::vector<PinEntry> script;
        Bytes toCard;  // empty: the pad answers `sw` itself
        Bytes sw;
    };
    const Row rows[] = {
        {7, {PinEntry::pin("1234")}, digitsAt7, {0x63, 0xC2}},
        {5, {}, {}, {0x64, 0x00}},  // nobody types anything
        {5, {PinEntry::pin("123456789")}, {}, {0x64, 0x03}},
        {5, {PinEntry::pin("12a4")}, {}, {0x64, 0x03}},
    };
    for (const Row& row : rows) {
        svc.reset();
        SCARDHANDLE h = setUpReader(PinPadFeatures::VerifyOnly, swCard(0x63, 0xC2));
        svc.queuePinEntries("Pad", row.script);
        const Bytes structure = verifyStructure(kVerifyApdu, row.pinOffset);
        auto r = control(h, kVerifyPinDirectCode, structure);
        ASSERT_EQ(r.rv, SCARD_S_SUCCESS);
        EXPECT_EQ(r.out, row.sw);
        EXPECT_EQ(card->received(),
                  row.toCard.empty() ? std::vector<Bytes>{} : std::vector<Bytes>{row.toCard});
        auto records = svc.pinPadRecords("Pad");
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].structure, structure);
        EXPECT_EQ(records[0].response, row.sw);
        const auto trace = svc.trace("Pad");
        EXPECT_EQ(trace.size(), row.toCard.empty() ? 0u : 1u);
        for (const auto& t : trace)
            EXPECT_TRUE(t.viaPinPad);
    }
}

// Old PIN, new PIN and its confirmation, byte for byte; a confirmation that
// differs and a cancel are the pad's answers. (The module's modify forms
// reach the card through the pad in its integration tests.)
TEST_F(PinPadTest, ModifyTakesOldNewAndConfirmation) {
    Bytes apdu = {0x80, 0x24, 0x00, 0x01, 0x10};  // two 8-byte PIN blocks
    apdu.resize(21, 0x00);
    const Bytes structure = modifyStructure(apdu, true, true, 5, 13);
    SCARDHANDLE h = setUpReader(PinPadFeatures::VerifyAndModify);
    svc.queuePinEntries("Pad",
                        {PinEntry::pin("1111"), PinEntry::pin("22222"), PinEntry::pin("22222"),
                         PinEntry::pin("1111"), PinEntry::pin("2222"), PinEntry::pin("2223"),
                         PinEntry::pin("1111"), PinEntry::cancel()});
    EXPECT_EQ(control(h, kModifyPinDirectCode, structure).out, (Bytes{0x90, 0x00}));
    Bytes expected = apdu;
    std::copy_n(Bytes{'1', '1', '1', '1'}.begin(), 4, expected.begin() + 5);
    std::copy_n(Bytes{'2', '2', '2', '2', '2'}.begin(), 5, expected.begin() + 13);
    EXPECT_EQ(card->received(), std::vector<Bytes>{expected});
    EXPECT_EQ(control(h, kModifyPinDirectCode, structure).out, (Bytes{0x64, 0x02}));
    EXPECT_EQ(control(h, kModifyPinDirectCode, structure).out, (Bytes{0x64, 0x01}));
    EXPECT_EQ(card->received().size(), 1u);
}

// As the CCID driver: a structure longer or shorter than its fields and the
// APDU it announces is not supported; one that places the PIN outside the
// APDU is invalid. The card sees none of them.
TEST_F(PinPadTest, UnusableStructures) {
    SCARDHANDLE h = setUpReader(PinPadFeatures::VerifyAndModify);
    Bytes zeroFilled = verifyStructure(kVerifyApdu, 5);
    zeroFilled.resize(299, 0x00);
    Bytes claimsMore = verifyStructure(kVerifyApdu, 5);
    putLe32(claimsMore, 15, std::uint32_t(kVerifyApdu.size() + 1));
    Bytes modifyZeroFilled = modifyStructure(kVerifyApdu, false, false, 5, 5);
    modifyZeroFilled.resize(304, 0x00);
    const std::tuple<DWORD, Bytes, LONG> rows[] = {
        {kVerifyPinDirectCode, zeroFilled, SCARD_E_UNSUPPORTED_FEATURE},
        {kVerifyPinDirectCode, claimsMore, SCARD_E_UNSUPPORTED_FEATURE},
        {kModifyPinDirectCode, modifyZeroFilled, SCARD_E_UNSUPPORTED_FEATURE},
        {kVerifyPinDirectCode, Bytes(18, 0x00), SCARD_E_INVALID_PARAMETER},
        {kVerifyPinDirectCode, verifyStructure(kVerifyApdu, 12), SCARD_E_INVALID_PARAMETER},
    };
    for (const auto& [code, structure, error] : rows) {
        svc.queuePinEntries("Pad", {PinEntry::pin("1234")});
        EXPECT_EQ(control(h, code, structure).rv, error) << structure.size();
    }
    EXPECT_TRUE(card->received().empty());
}

}  // namespace
}  // namespace testpcsc::test
