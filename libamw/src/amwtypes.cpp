#include "amw/amwtypes.h"

#include "amw/cachedobject.h"
#include "amw/objects.h"
#include "exceptions.h"
#include "trace.h"

namespace amw {

namespace {

const EnumName ROLE_NAMES[] = {
    {AMWROLE_EVERYONE, "amw::AMWROLE_EVERYONE"}, {AMWROLE_USER, "amw::AMWROLE_USER"},
    {AMWROLE_ADMIN, "amw::AMWROLE_ADMIN"},       {AMWROLE_USER2, "amw::AMWROLE_USER2"},
    {AMWROLE_USER3, "amw::AMWROLE_USER3"},       {AMWROLE_USER4, "amw::AMWROLE_USER4"},
    {AMWROLE_USER5, "amw::AMWROLE_USER5"},       {AMWROLE_USER6, "amw::AMWROLE_USER6"},
};

const EnumName AUTHENTICATION_RESULT_NAMES[] = {
    {AUTHENTICATION_SUCCESS, "amw::AUTHENTICATION_SUCCESS"},
    {AUTHENTICATION_WRONG_PIN, "amw::AUTHENTICATION_WRONG_PIN"},
    {AUTHENTICATION_PIN_BLOCKED, "amw::AUTHENTICATION_PIN_BLOCKED"},
};

const EnumName AUTHENTICATION_TYPE_NAMES[] = {
    {AuthenticationObject::PIN, "amw::AuthenticationObject::PIN"},
    {AuthenticationObject::KEY, "amw::AuthenticationObject::KEY"},
};

const EnumName KEY_SPEC_NAMES[] = {
    {KeyPair::SIGNATURE_KEY, "amw::KeyPair::SIGNATURE_KEY"},
    {KeyPair::KEY_EXCHANGE_KEY, "amw::KeyPair::KEY_EXCHANGE_KEY"},
};

const EnumName CACHED_OBJECT_NAMES[] = {
    {CachedObjectKinds::CACHED_OBJECT_KEYPAIR, "amw::CachedToken::CACHED_OBJECT_KEYPAIR"},
    {CachedObjectKinds::CACHED_OBJECT_SECRETKEY, "amw::CachedToken::CACHED_OBJECT_SECRETKEY"},
    {CachedObjectKinds::CACHED_OBJECT_CERTIFICATE, "amw::CachedToken::CACHED_OBJECT_CERTIFICATE"},
    {CachedObjectKinds::CACHED_OBJECT_DIRECTORY, "amw::CachedToken::CACHED_OBJECT_DIRECTORY"},
    {CachedObjectKinds::CACHED_OBJECT_FILE, "amw::CachedToken::CACHED_OBJECT_FILE"},
    {CachedObjectKinds::CACHED_OBJECT_DATA_OBJECT, "amw::CachedToken::CACHED_OBJECT_DATA_OBJECT"},
    {CachedObjectKinds::CACHED_OBJECT_AO, "amw::CachedToken::CACHED_OBJECT_AO"},
};

}  // namespace

std::uint8_t toCardRole(std::uint32_t role) {
    if (role > AMWROLE_USER6)
        throw InvalidArgumentException("unknown AMW role [%d]", static_cast<int>(role));
    return static_cast<std::uint8_t>(role);
}

std::uint8_t toCardKeySpec(std::uint32_t keySpec) {
    switch (keySpec) {
    case KeyPair::SIGNATURE_KEY:
        return 0;
    case KeyPair::KEY_EXCHANGE_KEY:
        return 1;
    default:
        throw InvalidArgumentException("unknown AMW keySpec[%d]", static_cast<int>(keySpec));
    }
}

std::string roleText(long long role) { return enumText(role, ROLE_NAMES); }

std::string authenticationResultText(long long result) {
    return enumText(result, AUTHENTICATION_RESULT_NAMES);
}

std::string authenticationTypeText(long long type) {
    return enumText(type, AUTHENTICATION_TYPE_NAMES);
}

std::string keySpecText(long long keySpec) { return enumText(keySpec, KEY_SPEC_NAMES); }

std::string cachedObjectText(long long id) { return enumText(id, CACHED_OBJECT_NAMES); }

}  // namespace amw
