// PIN pad discovery from the reader's feature list and the verify/modify
// structures as the reader receives them.
#include "ctlhelpers.h"

namespace ctltest {
namespace {

using testpcsc::Function;
using testpcsc::PinEntry;
using testpcsc::PinPadFeatures;
using testpcsc::ReaderOptions;

// VERIFY with an 8-byte PIN field of 0xFF filler.
const Bytes kVerifyApdu = {0x80, 0x20, 0x00, 0x01, 0x08, 0xFF, 0xFF,
                           0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
// CHANGE REFERENCE DATA with two 8-byte PIN fields.
const Bytes kModifyApdu = {0x80, 0x24, 0x00, 0x01, 0x10, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                           0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}
Bytes tlv(std::uint8_t tag, std::uint8_t len, const Bytes& value) {
    return concat({{tag, len}, value});
}
const Bytes kVerifyCode = {0x42, 0x33, 0x00, 0x06};
const Bytes kModifyCode = {0x42, 0x33, 0x00, 0x07};

class PinPadTest : public testpcsc::ServiceTest {
protected:
    std::shared_ptr<ScriptedCard> card = testpcsc::test::swCard(0x90, 0x00);

    std::shared_ptr<ctl::LockablePcScCardConnection> padReader(ReaderOptions options = {}) {
        if (options.pinPad == PinPadFeatures::None && !options.featureAnswer)
            options.pinPad = PinPadFeatures::VerifyAndModify;
        svc.addReader("Pad", options);
        svc.insertCard("Pad", card);
        return connect("Pad");
    }
    testpcsc::PinPadRecord lastRecord() {
        auto records = svc.pinPadRecords("Pad");
        EXPECT_FALSE(records.empty());
        return records.empty() ? testpcsc::PinPadRecord{} : records.back();
    }
};

TEST_F(PinPadTest, DiscoveryNeedsBothFeaturesWithWellFormedCodes) {
    struct Row {
        const char* what;
        PinPadFeatures features;
        std::optional<Bytes> answer;
        bool available;
    };
    const Row rows[] = {
        {"no features", PinPadFeatures::None, Bytes{}, false},
        {"verify only", PinPadFeatures::VerifyOnly, std::nullopt, false},
        {"verify and modify", PinPadFeatures::VerifyAndModify, std::nullopt, true},
        {"modify listed first, other features around", PinPadFeatures::VerifyAndModify,
         concat({tlv(0x01, 4, {1, 2, 3, 4}), tlv(0x07, 4, kModifyCode), tlv(0x12, 0, {}),
                 tlv(0x06, 4, kVerifyCode)}),
         true},
        {"modify with a 2-byte value", PinPadFeatures::VerifyAndModify,
         concat({tlv(0x06, 4, kVerifyCode), tlv(0x07, 2, {0x00, 0x07}), Bytes{0x00, 0x00}}), false},
        {"modify with a 5-byte value", PinPadFeatures::VerifyAndModify,
         concat({tlv(0x06, 4, kVerifyCode), tlv(0x07, 5, concat({kModifyCode, {0x00}}))}), false},
        {"modify value cut short", PinPadFeatures::VerifyAndModify,
         concat({tlv(0x06, 4, kVerifyCode), Bytes{0x07, 0x04, 0x42, 0x33, 0x00}}), false},
        {"a lone tag byte at the end", PinPadFeatures::VerifyAndModify,
         concat({tlv(0x06, 4, kVerifyCode), tlv(0x07, 4, kModifyCode), Bytes{0x0A}}), true},
    };
    for (const Row& row : rows) {
        svc.reset();
        ReaderOptions o;
        o.pinPad = row.features;
        o.featureAnswer = row.answer;
        auto c = padReader(o);
        EXPECT_EQ(c->isPinPadAvailable(), row.available) << row.what;
        // The codes were read big-endian: the reader serves them. Without a
        // pad nothing reaches the reader.
        const std::size_t calls = svc.callCount(Function::Control);
        svc.queuePinEntries("Pad", {PinEntry::pin("1234"), PinEntry::pin("5678")});
        if (row.available) {
            EXPECT_EQ(c->pinPadVerify(5, kVerifyApdu.data(), kVerifyApdu.size()), 0x9000)
                << row.what;
            EXPECT_EQ(c->pinPadModify(0, 0, 5, 13, kModifyApdu.data(), kModifyApdu.size()), 0x9000)
                << row.what;
            EXPECT_EQ(svc.pinPadRecords("Pad").size(), 2u) << row.what;
        } else {
            EXPECT_EQ(
                failureCode([&] { c->pinPadVerify(5, kVerifyApdu.data(), kVerifyApdu.size()); }),
                0x80100022u)
                << row.what;
            EXPECT_EQ(svc.callCount(Function::Control), calls) << row.what;
        }
    }
}

TEST_F(PinPadTest, FeatureRequestFailureMeansNoPinPad) {
    svc.addReader("Pad", ReaderOptions{PinPadFeatures::VerifyAndModify, std::nullopt});
    svc.insertCard("Pad", card);
    // First request refused outright, then the second one failing.
    svc.failCall(Function::Control, SCARD_E_UNSUPPORTED_FEATURE);
    EXPECT_FALSE(connect("Pad")->isPinPadAvailable());
    svc.failCall(Function::Control, SCARD_F_COMM_ERROR, 1, 1);
    EXPECT_FALSE(connect("Pad")->isPinPadAvailable());
    EXPECT_TRUE(connect("Pad")->isPinPadAvailable());
}

// The structures are their fields and the APDU, nothing after it: a PIN pad
// reader refuses any other length.
TEST_F(PinPadTest, VerifyStructureIsItsFieldsAndTheApdu) {
    auto c = padReader();
    for (std::uint8_t offset : {5, 7}) {
        svc.queuePinEntries("Pad", {PinEntry::pin("4321")});
        EXPECT_EQ(c->pinPadVerify(offset, kVerifyApdu.data(), kVerifyApdu.size()), 0x9000);
        Bytes expected = {0x00, 0x37, static_cast<std::uint8_t>(offset == 5 ? 0x82 : 0x92),
                          0x00, 0x00, 0x08,
                          0x01, 0x02, 0x01,
                          0x04, 0x04, 0x00,
                          0x00, 0x00, 0x00,
                          0x0D, 0x00, 0x00,
                          0x00};
        expected.insert(expected.end(), kVerifyApdu.begin(), kVerifyApdu.end());
        EXPECT_EQ(lastRecord().structure, expected) << int(offset);
    }
    // The digits landed where the structure said.
    auto trace = svc.trace("Pad");
    ASSERT_EQ(trace.size(), 2u);
    EXPECT_EQ(Bytes(trace[0].command.begin() + 5, trace[0].command.begin() + 9),
              (Bytes{'4', '3', '2', '1'}));
    EXPECT_EQ(Bytes(trace[1].command.begin() + 7, trace[1].command.begin() + 11),
              (Bytes{'4', '3', '2', '1'}));
}

TEST_F(PinPadTest, ModifyStructureFollowsWhichPinsAreAskedFor) {
    struct Row {
        std::uint8_t enterOld, confirm;
        std::uint8_t confirmFlags, messages, index1, index2, index3;
    };
    const Row rows[] = {
        {1, 1, 0x03, 3, 0x00, 0x01, 0x02},
        {1, 0, 0x02, 2, 0x00, 0x01, 0x00},
        {0, 1, 0x01, 2, 0x01, 0x02, 0x00},
        {0, 0, 0x00, 1, 0x01, 0x00, 0x00},
    };
    auto c = padReader();
    for (const Row& row : rows) {
        std::vector<PinEntry> entries;
        if (row.enterOld)
            entries.push_back(PinEntry::pin("1111"));
        entries.push_back(PinEntry::pin("2222"));
        if (row.confirm)
            entries.push_back(PinEntry::pin("2222"));
        svc.queuePinEntries("Pad", entries);
        EXPECT_EQ(c->pinPadModify(row.enterOld, row.confirm, 5, 13, kModifyApdu.data(),
                                  kModifyApdu.size()),
                  0x9000);
        Bytes expected = {0x01,       0x37,         0x02, 0x08, 0x00,
                          0x00,       0x08,         0x08, 0x01, row.confirmFlags,
                          0x02,       row.messages, 0x04, 0x04, row.index1,
                          row.index2, row.index3,   0x00, 0x00, 0x00,
                          0x15,       0x00,         0x00, 0x00};
        expected.insert(expected.end(), kModifyApdu.begin(), kModifyApdu.end());
        EXPECT_EQ(lastRecord().structure, expected) << int(row.enterOld) << int(row.confirm);
        EXPECT_EQ(svc.pendingPinEntries("Pad"), 0u);
    }
}

TEST_F(PinPadTest, ApduOf280BytesFitsAnd281DoesNot) {
    auto c = padReader();
    Bytes apdu(281, 0xFF);
    apdu[0] = 0x80;
    apdu[1] = 0x20;
    svc.queuePinEntries("Pad",
                        {PinEntry::pin("1234"), PinEntry::pin("1234"), PinEntry::pin("5678")});
    EXPECT_EQ(c->pinPadVerify(5, apdu.data(), 280), 0x9000);
    testpcsc::PinPadRecord verify = lastRecord();
    ASSERT_EQ(verify.structure.size(), 299u);
    EXPECT_EQ(Bytes(verify.structure.begin() + 15, verify.structure.begin() + 19),
              (Bytes{0x18, 0x01, 0x00, 0x00}));
    EXPECT_EQ(verify.structure.back(), 0xFF);

    EXPECT_EQ(c->pinPadModify(1, 0, 5, 13, apdu.data(), 280), 0x9000);
    testpcsc::PinPadRecord modify = lastRecord();
    ASSERT_EQ(modify.structure.size(), 304u);
    EXPECT_EQ(Bytes(modify.structure.begin() + 20, modify.structure.begin() + 24),
              (Bytes{0x18, 0x01, 0x00, 0x00}));

    const std::size_t calls = svc.callCount(Function::Control);
    EXPECT_EQ(failureCode([&] { c->pinPadVerify(5, apdu.data(), 281); }), 0x80100004u);
    EXPECT_EQ(failureCode([&] { c->pinPadModify(1, 0, 5, 13, apdu.data(), 281); }), 0x80100004u);
    EXPECT_EQ(svc.callCount(Function::Control), calls);
}

TEST_F(PinPadTest, PadAndCardAnswersComeBackUnchanged) {
    card = testpcsc::test::swCard(0x63, 0xC2);
    auto c = padReader();
    svc.queuePinEntries("Pad", {PinEntry::pin("1234"), PinEntry::cancel(), PinEntry::timeout()});
    for (std::uint16_t sw : {0x63C2, 0x6401, 0x6400})
        EXPECT_EQ(c->pinPadVerify(5, kVerifyApdu.data(), kVerifyApdu.size()), sw);
}

}  // namespace
}  // namespace ctltest
