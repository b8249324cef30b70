// The argument and result records of the object functions in the trace log:
// templates entry by entry, values cut at 256 bytes, the secret RSA
// components masked, at most 64 entries and 64 handles.
#include "harness.h"
#include "logrecords.h"
#include "p11app.h"
#include "p11template.h"

#include "vcard/kalvikcard.h"

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
using Records = std::vector<std::string>;

harness::ConfigurationEnvironment* const environment =
    harness::installConfiguration("loglevel = 1\n");

const char* const READER = "Reader 0";

std::string number(unsigned long value) {
    char text[48];
    std::snprintf(text, sizeof text, "%lu [0x%08lX]", value, value);
    return text;
}

std::string repeated(const std::string& text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i)
        out += text;
    return out;
}

class ObjectsLog : public harness::ModuleTest {
protected:
    void SetUp() override {
        ModuleTest::SetUp();
        svc.addReader(READER);
        svc.insertCard(READER, std::make_shared<vcard::KalvikCard>());
        ASSERT_EQ(f->C_Initialize(nullptr), CKR_OK);
        ASSERT_EQ(p11app::openSession(f, &h), CKR_OK);
        ASSERT_EQ(p11app::login(f, h, CKU_USER, "123456"), CKR_OK);
        recordsOfCall("C_Login");
    }

    // The records of the last call of `function` since the previous look:
    // from its entry record to its exit record, at every depth.
    Records recordsOfCall(const std::string& function) {
        const Records all = logrecords::bodies(
            logrecords::newLines(logrecords::logFileIn(environment->logDirectory())));
        const auto entry = std::find(all.rbegin(), all.rend(), "Entering " + function + "()");
        if (entry == all.rend()) {
            ADD_FAILURE() << function << " not in the log";
            return {};
        }
        const auto begin = std::prev(entry.base());
        const auto end = std::find(begin, all.end(), "Leaving " + function);
        return Records(begin, end == all.end() ? end : end + 1);
    }
    // The argument records right after the entry record.
    static Records arguments(const Records& call, std::size_t count) {
        if (call.empty())
            return {};
        return Records(call.begin() + 1, call.begin() + 1 + std::min(count, call.size() - 1));
    }
    static bool contains(const Records& call, const std::string& record) {
        return std::find(call.begin(), call.end(), record) != call.end();
    }

    CK_SESSION_HANDLE h = 0;
};

TEST_F(ObjectsLog, CreationTemplateEntryByEntry) {
    const Bytes longValue(300, 0xAB);
    Template t;
    t.ulong(CKA_CLASS, CKO_DATA).text(CKA_LABEL, "abc").add(CKA_VALUE, longValue);
    t.raw(CKA_APPLICATION, nullptr, 0);
    CK_OBJECT_HANDLE object = 0;
    ASSERT_EQ(f->C_CreateObject(h, t.data(), t.count(), &object), CKR_OK);
    const Records call = recordsOfCall("C_CreateObject");
    EXPECT_EQ(
        arguments(call, 6),
        (Records{"hSession = " + number(h),
                 "pTemplate[0] = [CKA_CLASS, valueLen=8, value=0000000000000000]",
                 "pTemplate[1] = [CKA_LABEL, valueLen=3, value=616263]",
                 "pTemplate[2] = [CKA_VALUE, valueLen=300, value=" + repeated("AB", 256) + " ...]",
                 "pTemplate[3] = [CKA_APPLICATION, valueLen=0, value=NULL]",
                 "ulCount = " + number(4)}));
    EXPECT_TRUE(contains(call, "[OUT] *phObject = " + number(object)));
    EXPECT_EQ(call[call.size() - 2], "Returning CKR_OK [0] ");
}

TEST_F(ObjectsLog, SecretComponentsAreMaskedAndAtMost64EntriesShown) {
    Template t;
    t.ulong(CKA_CLASS, CKO_PRIVATE_KEY);
    const CK_ATTRIBUTE_TYPE secrets[] = {CKA_PRIVATE_EXPONENT, CKA_PRIME_1,    CKA_PRIME_2,
                                         CKA_EXPONENT_1,       CKA_EXPONENT_2, CKA_COEFFICIENT};
    for (CK_ATTRIBUTE_TYPE type : secrets)
        t.add(type, Bytes(64, 0x5C));
    // Vendor-defined types fill the template up to 70 entries.
    for (CK_ULONG i = 0; t.count() < 70; ++i)
        t.add(CKA_VENDOR_DEFINED + 1 + i, {0x01});
    CK_OBJECT_HANDLE object = 0;
    EXPECT_EQ(f->C_CreateObject(h, t.data(), t.count(), &object), CKR_TEMPLATE_INCOMPLETE);
    const Records args = arguments(recordsOfCall("C_CreateObject"), 66);
    EXPECT_EQ(args[2], "pTemplate[1] = [CKA_PRIVATE_EXPONENT, valueLen=64, value=***]");
    EXPECT_EQ(args[7], "pTemplate[6] = [CKA_COEFFICIENT, valueLen=64, value=***]");
    EXPECT_EQ(args[8], "pTemplate[7] = [(?\?\?), valueLen=1, value=01]");
    EXPECT_EQ(args[64], "pTemplate[63] = [(?\?\?), valueLen=1, value=01]");
    EXPECT_EQ(args[65], "ulCount = " + number(70));
}

TEST_F(ObjectsLog, AttributeReadsBeforeAndAfter) {
    Template t;
    t.ulong(CKA_CLASS, CKO_DATA).text(CKA_LABEL, "abc");
    CK_OBJECT_HANDLE object = 0;
    ASSERT_EQ(f->C_CreateObject(h, t.data(), t.count(), &object), CKR_OK);
    Bytes label(8, 0xEE);
    CK_ATTRIBUTE read[] = {
        {CKA_LABEL, label.data(), 2}, {CKA_LABEL, nullptr, 0}, {CKA_PRIVATE, label.data() + 4, 1}};
    EXPECT_EQ(f->C_GetAttributeValue(h, object, read, 3), CKR_BUFFER_TOO_SMALL);
    const Records call = recordsOfCall("C_GetAttributeValue");
    EXPECT_EQ(arguments(call, 6), (Records{"hSession = " + number(h), "hObject = " + number(object),
                                           "pTemplate[0] = [CKA_LABEL, valueLen=2, value=EEEE]",
                                           "pTemplate[1] = [CKA_LABEL, valueLen=0, value=NULL]",
                                           "pTemplate[2] = [CKA_PRIVATE, valueLen=1, value=EE]",
                                           "ulCount = " + number(3)}));
    EXPECT_TRUE(contains(call,
                         "EXCEPTION CAUGHT Small buffer for storing P11 object attribute's "
                         "value [actual=2, expected=3]"));
    const auto out = std::find(call.begin(), call.end(), "[OUT] ulCount = " + number(3));
    ASSERT_LE(out + 4, call.end());
    EXPECT_EQ(Records(out + 1, out + 4),
              (Records{"[OUT] pTemplate[0] = [CKA_LABEL, valueLen=" +
                           std::to_string(CK_UNAVAILABLE_INFORMATION) + ", value=]",
                       "[OUT] pTemplate[1] = [CKA_LABEL, valueLen=3, value=NULL]",
                       "[OUT] pTemplate[2] = [CKA_PRIVATE, valueLen=1, value=00]"}));
    EXPECT_EQ(call[call.size() - 2], "Returning CKR_BUFFER_TOO_SMALL [336] FUFU");
}

TEST_F(ObjectsLog, FoundHandlesAndMissingTemplates) {
    for (int i = 0; i < 2; ++i) {
        Template t;
        t.ulong(CKA_CLASS, CKO_DATA);
        CK_OBJECT_HANDLE object = 0;
        ASSERT_EQ(f->C_CreateObject(h, t.data(), t.count(), &object), CKR_OK);
    }
    ASSERT_EQ(f->C_FindObjectsInit(h, nullptr, 0), CKR_OK);
    EXPECT_EQ(arguments(recordsOfCall("C_FindObjectsInit"), 3),
              (Records{"hSession = " + number(h), "pTemplate = NULL", "ulCount = " + number(0)}));
    CK_OBJECT_HANDLE found[4];
    CK_ULONG count = 0;
    ASSERT_EQ(f->C_FindObjects(h, found, 4, &count), CKR_OK);
    ASSERT_EQ(count, 2u);
    const Records call = recordsOfCall("C_FindObjects");
    EXPECT_EQ(arguments(call, 2),
              (Records{"hSession = " + number(h), "ulMaxObjectCount = " + number(4)}));
    EXPECT_EQ(
        Records(call.end() - 5, call.end() - 2),
        (Records{"[OUT] *pulObjectCount = " + number(2), "[OUT] phObject[0] = " + number(found[0]),
                 "[OUT] phObject[1] = " + number(found[1])}));
}

}  // namespace
