#include "exceptions.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace {

// Fixed texts and their typed arguments, one row per class and variant.
TEST(Exceptions, EachClassFormatsItsFixedText) {
    const std::pair<std::string, const char*> rows[] = {
        {InvalidArgumentException::nullPointer("homeDir", "getHomeDirectory",
                                               "libcommon/src/fileutils", 42)
             .what(),
         "Null pointer exception <homeDir> [getHomeDirectory() libcommon/src/fileutils:42]"},
        {InvalidArgumentException::outOfRange("length", 65537, 0, 65536,
                                              "StaticBuffer<65536>::StaticBuffer",
                                              "libcommon/include/staticbuffer", 55)
             .what(),
         "Invalid argument range exception <length> [65537] not inside <0,65536> "
         "[StaticBuffer<65536>::StaticBuffer() libcommon/include/staticbuffer:55]"},
        {InvalidArgumentException::invalid("role", "Token::login", "libamwkalvik/src/token", 7)
             .what(),
         "Invalid argument exception <role> [Token::login() libamwkalvik/src/token:7]"},
        {InvalidArgumentException("unknown AMW role [%d]", 9).what(), "unknown AMW role [9]"},
        {SlotNotFoundException(17).what(), "invalid SLOT_ID 17"},
        {ReaderNotInSlotException(3).what(), "The slot does not contain any reader [slotId=3]"},
        {InvalidSessionHandleException(0xFFFFFFFFUL).what(), "invalid CK_SESSION_HANDLE [-1]"},
        {InternalErrorException("unknown counter %d", 9).what(),
         "INTERNAL ERROR unknown counter 9"},
        {InvalidObjectHandleException(5).what(), "invalid CK_OBJECT_HANDLE [5]"},
        {OperationNotInitialized("sign").what(), "The operation has not been inicalized: sign"},
        {TemplateInconsistentException(0x102).what(),
         "Template is inconsistent. Multiple occurence of attribute [type=258]"},
        {TemplateIncompleteException(0x121).what(),
         "Template is incomplete. Missing attribute type [type=0x121]"},
        {AttributValueInvalidException(0x86).what(), "Invalid value of attribute [type=0x86]"},
        {AttributValueInvalidException::tooSmall(3, 0, 1).what(),
         "Size of attribute value is too small [type=3, actual=0, minimum=1]"},
        {AttributValueInvalidException::tooBig(3, 300, 255).what(),
         "Size of attribute value is too big [type=3, actual=300, maximum=255]"},
        {AttributeTypeInvalidException(0x90, "(?\?\?)").what(),
         "Invalid attribute type [type=144, (?\?\?)]"},
        {AttributeReadOnlyException(0, "CKA_CLASS").what(),
         "Attribute is read-only [type=0, CKA_CLASS]"},
        {AttributeTypeSensitiveException(0x123, "CKA_PRIVATE_EXPONENT").what(),
         "Attribute type is sensitive and can not be revealed [type=291, CKA_PRIVATE_EXPONENT]"},
        {AttributeBufferTooSmallException(4, 8).what(),
         "Small buffer for storing P11 object attribute's value [actual=4, expected=8]"},
        {InvalidEncryptedDataLength(255).what(), "Invalid lenght of encrypted data [length=255]"},
        {InvalidPlainTextDataLength(246).what(), "Invalid lenght of plain text data [length=246]"},
        {LvParserException("unsupported data size (supported = 0xFE, requested= 0x%X)", 0x1FF)
             .what(),
         "unsupported data size (supported = 0xFE, requested= 0x1FF)"},
        {amw::PinPadException(1).what(),
         "PINPAD exception: amw::PinPadException::AUTHENTICATION_PINPAD_CANCELED[1]"},
        {amw::PinPadException(3).what(),
         "PINPAD exception: "
         "amw::PinPadException::AUTHENTICATION_PINPAD_PIN_TOO_SHORT_OR_TOO_LONG[3]"},
        {amw::PinPadException(4).what(), "PINPAD exception: UNKNOWN"},
        {amw::SWException(0x6a82).what(), "unexpected SW 6A82"},
        {amw::InvalidBufferSizeException(4, 2).what(),
         "invalid size of buffer (expected 4,  actual 2)"},
        {ctl::CtlException(0x80100069).what(), "SCard error 0x80100069"},
    };
    for (const auto& [message, expected] : rows)
        EXPECT_EQ(message, expected);
}

TEST(Exceptions, MessageIsCutAt1023CharactersPrefixIncluded) {
    std::string long1500(1500, 'x');
    EXPECT_EQ(std::string(QVException("%s", long1500.c_str()).what()), std::string(1023, 'x'));
    EXPECT_EQ(std::string(InternalErrorException("%s", long1500.c_str()).what()),
              "INTERNAL ERROR " + std::string(1023 - 15, 'x'));
    // A '%' in an argument must not be interpreted a second time.
    EXPECT_STREQ(InternalErrorException("value %s", "100%d").what(), "INTERNAL ERROR value 100%d");
}

}  // namespace
