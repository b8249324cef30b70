#include "exceptions.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace {

struct MessageCase {
    const char* name;
    std::function<QVException()> make;
    std::string message;
};

class ExceptionMessages : public ::testing::TestWithParam<MessageCase> {};

TEST_P(ExceptionMessages, FormatsTheFixedText) {
    EXPECT_EQ(GetParam().make().what(), GetParam().message);
}

// Fixed texts and their typed arguments, one case per class and variant.
INSTANTIATE_TEST_SUITE_P(
    AllClasses, ExceptionMessages,
    ::testing::Values(
        MessageCase{
            "NullPointer",
            [] {
                return InvalidArgumentException::nullPointer("homeDir", "getHomeDirectory",
                                                             "libcommon/src/fileutils", 42);
            },
            "Null pointer exception <homeDir> [getHomeDirectory() libcommon/src/fileutils:42]"},
        MessageCase{"Range",
                    [] {
                        return InvalidArgumentException::outOfRange(
                            "length", 65537, 0, 65536, "StaticBuffer<65536>::StaticBuffer",
                            "libcommon/include/staticbuffer", 55);
                    },
                    "Invalid argument range exception <length> [65537] not inside <0,65536> "
                    "[StaticBuffer<65536>::StaticBuffer() libcommon/include/staticbuffer:55]"},
        MessageCase{"Invalid",
                    [] {
                        return InvalidArgumentException::invalid("role", "Token::login",
                                                                 "libamwkalvik/src/token", 7);
                    },
                    "Invalid argument exception <role> [Token::login() libamwkalvik/src/token:7]"},
        MessageCase{"InvalidPrintf",
                    [] { return InvalidArgumentException("unknown AMW role [%d]", 9); },
                    "unknown AMW role [9]"},
        MessageCase{"Slot", [] { return SlotNotFoundException(17); }, "invalid SLOT_ID 17"},
        MessageCase{"ReaderNotInSlot", [] { return ReaderNotInSlotException(3); },
                    "The slot does not contain any reader [slotId=3]"},
        MessageCase{"SessionHandle", [] { return InvalidSessionHandleException(0xFFFFFFFFUL); },
                    "invalid CK_SESSION_HANDLE [-1]"},
        MessageCase{"Internal", [] { return InternalErrorException("unknown counter %d", 9); },
                    "INTERNAL ERROR unknown counter 9"},
        MessageCase{"ObjectHandle", [] { return InvalidObjectHandleException(5); },
                    "invalid CK_OBJECT_HANDLE [5]"},
        MessageCase{"OperationNotInitialized", [] { return OperationNotInitialized("sign"); },
                    "The operation has not been inicalized: sign"},
        MessageCase{"TemplateInconsistent", [] { return TemplateInconsistentException(0x102); },
                    "Template is inconsistent. Multiple occurence of attribute [type=258]"},
        MessageCase{"TemplateIncomplete", [] { return TemplateIncompleteException(0x121); },
                    "Template is incomplete. Missing attribute type [type=0x121]"},
        MessageCase{"ValueInvalid", [] { return AttributValueInvalidException(0x86); },
                    "Invalid value of attribute [type=0x86]"},
        MessageCase{"ValueTooSmall",
                    [] { return AttributValueInvalidException::tooSmall(3, 0, 1); },
                    "Size of attribute value is too small [type=3, actual=0, minimum=1]"},
        MessageCase{"ValueTooBig",
                    [] { return AttributValueInvalidException::tooBig(3, 300, 255); },
                    "Size of attribute value is too big [type=3, actual=300, maximum=255]"},
        MessageCase{"TypeInvalid", [] { return AttributeTypeInvalidException(0x90, "(?\?\?)"); },
                    "Invalid attribute type [type=144, (?\?\?)]"},
        MessageCase{"ReadOnly", [] { return AttributeReadOnlyException(0, "CKA_CLASS"); },
                    "Attribute is read-only [type=0, CKA_CLASS]"},
        MessageCase{"Sensitive",
                    [] { return AttributeTypeSensitiveException(0x123, "CKA_PRIVATE_EXPONENT"); },
                    "Attribute type is sensitive and can not be revealed [type=291, "
                    "CKA_PRIVATE_EXPONENT]"},
        MessageCase{"BufferTooSmall", [] { return AttributeBufferTooSmallException(4, 8); },
                    "Small buffer for storing P11 object attribute's value [actual=4, expected=8]"},
        MessageCase{"EncryptedLength", [] { return InvalidEncryptedDataLength(255); },
                    "Invalid lenght of encrypted data [length=255]"},
        MessageCase{"PlainLength", [] { return InvalidPlainTextDataLength(246); },
                    "Invalid lenght of plain text data [length=246]"},
        MessageCase{"Lv",
                    [] {
                        return LvParserException(
                            "unsupported data size (supported = 0xFE, requested= 0x%X)", 0x1FF);
                    },
                    "unsupported data size (supported = 0xFE, requested= 0x1FF)"},
        MessageCase{"PinPadCanceled", [] { return amw::PinPadException(1); },
                    "PINPAD exception: amw::PinPadException::AUTHENTICATION_PINPAD_CANCELED[1]"},
        MessageCase{"PinPadTooLong", [] { return amw::PinPadException(3); },
                    "PINPAD exception: "
                    "amw::PinPadException::AUTHENTICATION_PINPAD_PIN_TOO_SHORT_OR_TOO_LONG[3]"},
        MessageCase{"PinPadUnknown", [] { return amw::PinPadException(4); },
                    "PINPAD exception: UNKNOWN"},
        MessageCase{"SW", [] { return amw::SWException(0x6a82); }, "unexpected SW 6A82"},
        MessageCase{"BufferSize", [] { return amw::InvalidBufferSizeException(4, 2); },
                    "invalid size of buffer (expected 4,  actual 2)"},
        MessageCase{"Ctl", [] { return ctl::CtlException(0x80100069); }, "SCard error 0x80100069"}),
    [](const ::testing::TestParamInfo<MessageCase>& info) { return info.param.name; });

TEST(Exceptions, MessageIsCutAt1023Characters) {
    std::string long1500(1500, 'x');
    QVException e("%s", long1500.c_str());
    EXPECT_EQ(std::string(e.what()), std::string(1023, 'x'));

    // The prefix counts towards the limit too.
    InternalErrorException internal("%s", long1500.c_str());
    EXPECT_EQ(std::string(internal.what()), "INTERNAL ERROR " + std::string(1023 - 15, 'x'));
}

TEST(Exceptions, PrefixIsPartOfTheFormatNotOfTheArguments) {
    // A '%' in an argument must not be interpreted a second time.
    InternalErrorException e("value %s", "100%d");
    EXPECT_STREQ(e.what(), "INTERNAL ERROR value 100%d");
}

}  // namespace
