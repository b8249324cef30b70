#pragma once
// Roles and authentication results of the token layer, their conversion to
// the card's numbers, and their log texts.
#include <cstdint>
#include <string>

namespace amw {

enum AmwRole : std::uint32_t {
    AMWROLE_EVERYONE = 0,
    AMWROLE_USER = 1,
    AMWROLE_ADMIN = 2,
    AMWROLE_USER2 = 3,
    AMWROLE_USER3 = 4,
    AMWROLE_USER4 = 5,
    AMWROLE_USER5 = 6,
    AMWROLE_USER6 = 7,
};

// Tries remaining when the card did not say how many are left.
constexpr std::uint32_t TRIES_UNKNOWN = 0xFFFFFFFF;

enum AuthenticationResult : std::uint32_t {
    AUTHENTICATION_SUCCESS = 0,
    AUTHENTICATION_WRONG_PIN = 1,
    AUTHENTICATION_PIN_BLOCKED = 2,
};

// The card numbers its roles like the token layer; anything above 7 throws
// InvalidArgumentException "unknown AMW role [%d]".
std::uint8_t toCardRole(std::uint32_t role);
// The one bit the card keeps for a keySpec: 0 signature, 1 key exchange;
// anything else throws InvalidArgumentException "unknown AMW keySpec[%d]".
std::uint8_t toCardKeySpec(std::uint32_t keySpec);

// Log texts: the qualified enumerator name with the number in brackets,
// "UNKNOWN" for values without a name.
std::string roleText(long long role);                    // "amw::AMWROLE_USER[1]"
std::string authenticationResultText(long long result);  // "amw::AUTHENTICATION_SUCCESS[0]"
std::string authenticationTypeText(long long type);      // "amw::AuthenticationObject::PIN[0]"
std::string keySpecText(long long keySpec);              // "amw::KeyPair::SIGNATURE_KEY[0]"

}  // namespace amw
