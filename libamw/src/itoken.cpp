#include "amw/token.h"

#include "amw/pinpadnotifier.h"
#include "exceptions.h"
#include "trace.h"

#include <cstring>

QV_TRACE_UNIT("AMW", "libamw/src/itoken");

namespace amw {

namespace {

// The counters go to the card as they lie in memory.
static_assert(sizeof(std::uint16_t) * FreshnessBlock::CARD_COUNTER_COUNT == 12,
              "six 16-bit counters");
static_assert(FreshnessBlock::CARD_LENGTH == 47, "the card keeps 47 bytes");

std::size_t freshnessIndex(int entityId) {
    if (entityId < 1 || entityId > static_cast<int>(FreshnessBlock::COUNTER_COUNT))
        throw InternalErrorException("FreshnessBlock unknown entityId [%d]", entityId);
    return static_cast<std::size_t>(entityId - 1);
}

}  // namespace

PinPadNotifier::~PinPadNotifier() = default;

Token::~Token() = default;

void Token::checkTokenType(std::uint32_t type) {
    QV_FUNCTION_NAME("amw::Token::createToken");
    // The message carries the line it has always named, not this one.
    QV_REQUIRE_VALID_AT_LINE(type == TOKEN_TYPE_KALVIK, "type", 35);
}

std::uint16_t& FreshnessBlock::counter(int entityId) { return counters[freshnessIndex(entityId)]; }

std::uint16_t FreshnessBlock::counter(int entityId) const {
    return counters[freshnessIndex(entityId)];
}

std::uint8_t* FreshnessBlock::prefix(int entityId) { return prefixes[freshnessIndex(entityId)]; }

const std::uint8_t* FreshnessBlock::prefix(int entityId) const {
    return prefixes[freshnessIndex(entityId)];
}

void FreshnessBlock::clear() noexcept {
    std::memset(counters, 0, sizeof counters);
    std::memset(prefixes, 0, sizeof prefixes);
}

void FreshnessBlock::toCardBytes(std::uint8_t (&bytes)[CARD_LENGTH]) const noexcept {
    const std::size_t counterBytes = CARD_COUNTER_COUNT * sizeof(std::uint16_t);
    std::memcpy(bytes, counters, counterBytes);
    std::memcpy(bytes + counterBytes, prefixes, sizeof prefixes);
}

void FreshnessBlock::fromCardBytes(const std::uint8_t (&bytes)[CARD_LENGTH]) noexcept {
    const std::size_t counterBytes = CARD_COUNTER_COUNT * sizeof(std::uint16_t);
    clear();
    std::memcpy(counters, bytes, counterBytes);
    std::memcpy(prefixes, bytes + counterBytes, sizeof prefixes);
}

bool FreshnessBlock::operator==(const FreshnessBlock& other) const noexcept {
    return std::memcmp(counters, other.counters, sizeof counters) == 0 &&
           std::memcmp(prefixes, other.prefixes, sizeof prefixes) == 0;
}

}  // namespace amw
