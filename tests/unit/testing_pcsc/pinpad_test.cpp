// The reader's feature list and the scripted PIN pad behind verify/modify PIN direct.
#include <iterator>

#include "helpers.h"

namespace testpcsc::test {
namespace {

// A PIN command template: header, Lc 8, eight 0xFF filler bytes.
const Bytes kVerifyApdu = {0x80, 0x20, 0x00, 0x01, 0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

void putLe32(Bytes& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = std::uint8_t(v >> (8 * i));
}

// The 299-byte verify structure: PIN as ASCII, left-justified, `pinOffset`
// counted from the start of the APDU, 1 to 8 digits.
Bytes verifyStructure(const Bytes& apdu, std::uint8_t pinOffset) {
    Bytes s(299, 0);
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

// The 304-byte modify structure with 8-byte PIN blocks at the two offsets.
Bytes modifyStructure(const Bytes& apdu, bool enterOld, bool confirm, std::uint8_t oldOffset,
                      std::uint8_t newOffset) {
    Bytes s(304, 0);
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
    SCARDHANDLE setUpReader(PinPadFeatures f, std::shared_ptr<ScriptedCard> c = swCard(0x90, 0x00)) {
        ReaderOptions o;
        o.pinPad = f;
        svc.addReader("Pad", o);
        card = c;
        svc.insertCard("Pad", card);
        return connect(establish(), "Pad");
    }
    std::shared_ptr<ScriptedCard> card;
};

TEST_F(PinPadTest, FeatureListFollowsTheReaderConfiguration) {
    const Bytes verifyTlv = {0x06, 0x04, 0x42, 0x33, 0x00, 0x06};
    const Bytes modifyTlv = {0x07, 0x04, 0x42, 0x33, 0x00, 0x07};
    struct Row {
        PinPadFeatures features;
        Bytes expected;
    };
    Bytes both = verifyTlv;
    both.insert(both.end(), modifyTlv.begin(), modifyTlv.end());
    for (const Row& row : {Row{PinPadFeatures::VerifyOnly, verifyTlv}, Row{PinPadFeatures::VerifyAndModify, both}}) {
        svc.reset();
        SCARDHANDLE h = setUpReader(row.features);
        auto r = control(h, kFeatureRequestCode, {});
        ASSERT_EQ(r.rv, SCARD_S_SUCCESS);
        EXPECT_EQ(r.out, row.expected);
        // Asking without room fails, as with a CCID reader.
        EXPECT_EQ(control(h, kFeatureRequestCode, {}, 0).rv, SCARD_E_INSUFFICIENT_BUFFER);
    }
    // No features at all: the request is unknown to the reader.
    svc.reset();
    SCARDHANDLE plain = setUpReader(PinPadFeatures::None);
    EXPECT_EQ(control(plain, kFeatureRequestCode, {}).rv, SCARD_E_UNSUPPORTED_FEATURE);
    EXPECT_EQ(control(plain, kFeatureRequestCode, {}, 0).rv, SCARD_E_UNSUPPORTED_FEATURE);

    // A raw answer replaces the list; the pad still serves what it is configured for.
    ReaderOptions o;
    o.pinPad = PinPadFeatures::VerifyOnly;
    o.featureAnswer = Bytes{0x06, 0x02, 0x42, 0x33};
    svc.configureReader("Pad", o);
    SCARDHANDLE h = connect(establish(), "Pad");
    EXPECT_EQ(control(h, kFeatureRequestCode, {}).out, *o.featureAnswer);
    svc.queuePinEntries("Pad", {PinEntry::cancel()});
    EXPECT_EQ(control(h, kVerifyPinDirectCode, verifyStructure(kVerifyApdu, 5)).out, (Bytes{0x64, 0x01}));
    EXPECT_EQ(control(h, kModifyPinDirectCode, modifyStructure(kVerifyApdu, false, false, 5, 5)).rv,
              SCARD_E_UNSUPPORTED_FEATURE);
}

TEST_F(PinPadTest, VerifyPutsTheDigitsWhereTheStructureSays) {
    for (std::uint8_t offset : {5, 7}) {
        svc.reset();
        SCARDHANDLE h = setUpReader(PinPadFeatures::VerifyOnly, swCard(0x63, 0xC2));
        svc.queuePinEntries("Pad", {PinEntry::pin("1234")});
        const Bytes s = verifyStructure(kVerifyApdu, offset);
        auto r = control(h, kVerifyPinDirectCode, s);
        ASSERT_EQ(r.rv, SCARD_S_SUCCESS);
        EXPECT_EQ(r.out, (Bytes{0x63, 0xC2}));  // the card's answer, unchanged

        Bytes expected = kVerifyApdu;
        std::copy_n(Bytes{'1', '2', '3', '4'}.begin(), 4, expected.begin() + offset);
        EXPECT_EQ(card->received(), std::vector<Bytes>{expected}) << "offset " << int(offset);
        auto t = svc.trace("Pad");
        ASSERT_EQ(t.size(), 1u);
        EXPECT_TRUE(t[0].viaPinPad);
        EXPECT_EQ(t[0].command, expected);
        auto records = svc.pinPadRecords("Pad");
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].controlCode, kVerifyPinDirectCode);
        EXPECT_EQ(records[0].structure, s);
        EXPECT_EQ(records[0].response, (Bytes{0x63, 0xC2}));
        EXPECT_EQ(svc.pendingPinEntries("Pad"), 0u);
    }
}

TEST_F(PinPadTest, VerifyAnsweredByThePadItself) {
    struct Row {
        std::vector<PinEntry> script;
        Bytes sw;
    };
    const Row rows[] = {
        {{PinEntry::timeout()}, {0x64, 0x00}},
        {{PinEntry::cancel()}, {0x64, 0x01}},
        {{}, {0x64, 0x00}},  // nobody types anything
        {{PinEntry::pin("123456789")}, {0x64, 0x03}},
        {{PinEntry::pin("")}, {0x64, 0x03}},
        {{PinEntry::pin("12a4")}, {0x64, 0x03}},
    };
    SCARDHANDLE h = setUpReader(PinPadFeatures::VerifyAndModify);
    for (const Row& row : rows) {
        svc.queuePinEntries("Pad", row.script);
        auto r = control(h, kVerifyPinDirectCode, verifyStructure(kVerifyApdu, 5));
        ASSERT_EQ(r.rv, SCARD_S_SUCCESS);
        EXPECT_EQ(r.out, row.sw);
    }
    EXPECT_TRUE(card->received().empty());
    EXPECT_EQ(svc.pinPadRecords("Pad").size(), std::size(rows));
}

TEST_F(PinPadTest, ModifyTakesOldNewAndConfirmation) {
    // Header, Lc 16, two 8-byte PIN blocks.
    Bytes apdu = {0x80, 0x24, 0x00, 0x01, 0x10};
    apdu.resize(21, 0x00);
    SCARDHANDLE h = setUpReader(PinPadFeatures::VerifyAndModify);

    svc.queuePinEntries("Pad", {PinEntry::pin("1111"), PinEntry::pin("22222"), PinEntry::pin("22222")});
    auto r = control(h, kModifyPinDirectCode, modifyStructure(apdu, true, true, 5, 13));
    ASSERT_EQ(r.rv, SCARD_S_SUCCESS);
    EXPECT_EQ(r.out, (Bytes{0x90, 0x00}));
    Bytes expected = apdu;
    std::copy_n(Bytes{'1', '1', '1', '1'}.begin(), 4, expected.begin() + 5);
    std::copy_n(Bytes{'2', '2', '2', '2', '2'}.begin(), 5, expected.begin() + 13);
    ASSERT_EQ(card->received().size(), 1u);
    EXPECT_EQ(card->received()[0], expected);

    // Without the current PIN only the new one (and its confirmation) is asked for.
    svc.queuePinEntries("Pad", {PinEntry::pin("3333"), PinEntry::pin("3333"), PinEntry::pin("9")});
    ASSERT_EQ(control(h, kModifyPinDirectCode, modifyStructure(apdu, false, true, 5, 5)).out, (Bytes{0x90, 0x00}));
    EXPECT_EQ(svc.pendingPinEntries("Pad"), 1u);
    expected = apdu;
    std::copy_n(Bytes{'3', '3', '3', '3'}.begin(), 4, expected.begin() + 5);
    EXPECT_EQ(card->received()[1], expected);

    struct Row {
        std::vector<PinEntry> script;
        Bytes sw;
    };
    const Row failures[] = {
        {{PinEntry::pin("1111"), PinEntry::pin("2222"), PinEntry::pin("2223")}, {0x64, 0x02}},
        {{PinEntry::pin("1111"), PinEntry::cancel()}, {0x64, 0x01}},
        {{PinEntry::timeout()}, {0x64, 0x00}},
        {{PinEntry::pin("1111"), PinEntry::pin("123456789")}, {0x64, 0x03}},
    };
    for (const Row& row : failures) {
        svc.reset();
        h = setUpReader(PinPadFeatures::VerifyAndModify);
        svc.queuePinEntries("Pad", row.script);
        EXPECT_EQ(control(h, kModifyPinDirectCode, modifyStructure(apdu, true, true, 5, 13)).out, row.sw);
        EXPECT_TRUE(card->received().empty());
    }
}

TEST_F(PinPadTest, OtherFormatsAndLengthField) {
    // Binary digits, right-justified in a 4-byte block one byte into the data,
    // with an 8-bit PIN length field at data byte 0.
    Bytes apdu = {0x00, 0x20, 0x00, 0x00, 0x05, 0x00, 0xEE, 0xEE, 0xEE, 0xEE};
    Bytes s = verifyStructure(apdu, 5);
    s[2] = std::uint8_t(0x80 | (1 << 3) | 0x04 | 0x00);
    s[3] = 0x84;
    s[4] = 0x10;
    SCARDHANDLE h = setUpReader(PinPadFeatures::VerifyOnly);
    svc.queuePinEntries("Pad", {PinEntry::pin("907")});
    ASSERT_EQ(control(h, kVerifyPinDirectCode, s).rv, SCARD_S_SUCCESS);
    ASSERT_EQ(card->received().size(), 1u);
    EXPECT_EQ(card->received()[0], (Bytes{0x00, 0x20, 0x00, 0x00, 0x05, 0x03, 0xEE, 0x09, 0x00, 0x07}));
}

TEST_F(PinPadTest, UnusableStructuresAndBuffers) {
    SCARDHANDLE h = setUpReader(PinPadFeatures::VerifyOnly);
    Bytes s = verifyStructure(kVerifyApdu, 5);
    putLe32(s, 15, 281);  // claims more APDU than the structure holds
    EXPECT_EQ(control(h, kVerifyPinDirectCode, s).rv, SCARD_E_INVALID_PARAMETER);
    EXPECT_EQ(control(h, kVerifyPinDirectCode, Bytes(10, 0)).rv, SCARD_E_INVALID_PARAMETER);
    s = verifyStructure(kVerifyApdu, 12);  // PIN would run past the APDU
    svc.queuePinEntries("Pad", {PinEntry::pin("1234")});
    EXPECT_EQ(control(h, kVerifyPinDirectCode, s).rv, SCARD_E_INVALID_PARAMETER);
    // 280 bytes of APDU fit in the 299-byte structure.
    Bytes big = {0x80, 0x20, 0x00, 0x01, 0xFF};
    big.resize(280, 0xFF);
    svc.queuePinEntries("Pad", {PinEntry::pin("1234")});
    EXPECT_EQ(control(h, kVerifyPinDirectCode, verifyStructure(big, 5)).out, (Bytes{0x90, 0x00}));
    svc.queuePinEntries("Pad", {PinEntry::pin("1234")});
    EXPECT_EQ(control(h, kVerifyPinDirectCode, verifyStructure(kVerifyApdu, 5), 1).rv, SCARD_E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(control(h, 0x42000000 + 1234, {}).rv, SCARD_E_UNSUPPORTED_FEATURE);
}

}  // namespace
}  // namespace testpcsc::test
