#pragma once
// One card call as another process makes it, beside the module: the
// connection locked, a card token that selects the applet, a caching token
// over the given cache directory (empty: no cache), a role logged in (0:
// none); refreshCache and the unlock at the end.
#include "amw/cachedtoken.h"
#include "ctl/lockablepcsccardconnection.h"

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

class TokenCall {
public:
    // The personalisation defaults of the virtual card.
    static constexpr const char* USER_PIN = "123456";
    static constexpr const char* SO_PIN = "12345678";

    TokenCall(ctl::LockablePcScCardConnection& connection, std::uint32_t role,
              const std::string& cacheDirectory)
        : connection_(connection) {
        connection_.lock();
        token_.reset(amw::Token::createToken(&connection_, 0, true));
        amw::CardId cardId;
        token_->getCardId(cardId);
        cached_.reset(new amw::CachedToken(token_.get(), cardId, cacheDirectory));
        const std::string pin = role == amw::AMWROLE_ADMIN ? SO_PIN : USER_PIN;
        std::uint32_t tries = 0;
        if (role != amw::AMWROLE_EVERYONE &&
            cached_->authenticate(cached_->findAuthenticationObject(role),
                                  reinterpret_cast<const std::uint8_t*>(pin.data()), pin.size(),
                                  &tries, nullptr) != amw::AUTHENTICATION_SUCCESS)
            throw std::runtime_error("login failed");
    }
    ~TokenCall() {
        cached_->refreshCache();
        cached_.reset();
        token_.reset();
        connection_.unlock(ctl::CardConnection::LEAVE_CARD);
    }
    TokenCall(const TokenCall&) = delete;
    TokenCall& operator=(const TokenCall&) = delete;

    amw::CachedToken* operator->() const { return cached_.get(); }
    amw::CachedToken* get() const { return cached_.get(); }

private:
    ctl::LockablePcScCardConnection& connection_;
    std::unique_ptr<amw::Token> token_;
    std::unique_ptr<amw::CachedToken> cached_;
};
