#include "amw/token.h"
#include "amw/cachedobject.h"
#include "exceptions.h"

#include <gtest/gtest.h>

#include <cstring>

// The freshness block as the card and the caching token exchange it. (Token
// creation is tested with the card driver, which supplies the factory.)

TEST(FreshnessBlock, CardBytesAreSixCountersThenSevenPrefixesAndTheExtraFieldStaysHome) {
    std::uint8_t card[amw::FreshnessBlock::CARD_LENGTH];
    for (std::size_t i = 0; i < sizeof card; ++i)
        card[i] = static_cast<std::uint8_t>(0xA0 + i);

    amw::FreshnessBlock block;
    block.counters[6] = 0x7777;
    block.fromCardBytes(card);
    for (int id = 1; id <= 6; ++id) {
        std::uint16_t expected;
        std::memcpy(&expected, card + 2 * (id - 1), 2);
        EXPECT_EQ(block.counter(id), expected) << "counter " << id;
    }
    EXPECT_EQ(block.counter(amw::CachedObjectKinds::CACHED_OBJECT_AO), 0)
        << "the card has no authentication-object counter";
    for (int id = 1; id <= 7; ++id)
        EXPECT_EQ(0, std::memcmp(block.prefix(id), card + 12 + 5 * (id - 1), 5)) << "prefix " << id;

    // The extra field never reaches the card; everything else goes back byte for byte.
    block.counter(amw::CachedObjectKinds::CACHED_OBJECT_AO) = 0x1234;
    std::uint8_t back[amw::FreshnessBlock::CARD_LENGTH] = {};
    block.toCardBytes(back);
    EXPECT_EQ(0, std::memcmp(back, card, sizeof card));
}

TEST(FreshnessBlock, EqualityCoversEveryCounterAndPrefixAndIdsOutsideOneToSevenAreRefused) {
    amw::FreshnessBlock a, b;
    EXPECT_TRUE(a == b);
    b.counter(7) = 1;
    EXPECT_TRUE(a != b) << "the extra field counts";
    b.clear();
    b.prefix(7)[4] = 1;
    EXPECT_TRUE(a != b) << "the last prefix byte counts";
    b.clear();
    EXPECT_TRUE(a == b);

    for (int id : {0, 8, -1}) {
        EXPECT_THROW(a.counter(id), InternalErrorException) << id;
        EXPECT_THROW(a.prefix(id), InternalErrorException) << id;
    }
}
