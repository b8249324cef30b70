#pragma once
// The virtual card the card-side fuzz target runs against, also the card the
// seed recorder fills, so recorded sessions replay on it.
#include "vcard/kalvikcard.h"

inline vcard::PersonalisationOptions fuzzCardOptions() {
    vcard::PersonalisationOptions options;
    options.totalBlocks = 64;  // small, so that filling the card is reachable
    options.cardId = std::array<std::uint8_t, 16>{};
    options.serial = std::array<std::uint8_t, 8>{};
    // Two 1024-bit slots: generation is reachable without costing seconds.
    options.keySlots = std::vector<vcard::KeySlotSetup>(2);
    for (vcard::KeySlotSetup& slot : options.keySlots)
        slot = {true, 1024};
    return options;
}
