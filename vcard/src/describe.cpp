// The human-readable table of a card's state.
#include <cstdio>
#include <sstream>

#include "vcard/kalvikcard.h"

namespace vcard {
namespace {

std::string hex(const std::uint8_t* data, std::size_t size) {
    std::string text;
    char digits[3];
    for (std::size_t i = 0; i < size; ++i) {
        std::snprintf(digits, sizeof digits, "%02X", data[i]);
        text += digits;
    }
    return text;
}

std::string hex16(std::uint16_t value) {
    char digits[8];
    std::snprintf(digits, sizeof digits, "%04X", value);
    return digits;
}

std::string pad(std::string text, std::size_t width) {
    if (text.size() < width)
        text.append(width - text.size(), ' ');
    return text;
}

const char* chainName(Chain chain) {
    switch (chain) {
    case Chain::DATA_OBJECTS:
        return "data object";
    case Chain::KEY_PAIRS:
        return "key pair";
    case Chain::CERTIFICATES:
        return "certificate";
    case Chain::DIRECTORIES:
        return "directory";
    case Chain::FILES:
        return "file";
    }
    return "?";
}

std::string keyText(const ObjectSummary& object) {
    if (object.chain != Chain::KEY_PAIRS)
        return "-";
    std::string halves;
    if (object.contentCode & 0x02)
        halves += "public";
    if (object.contentCode & 0x04)
        halves += halves.empty() ? "private" : "+private";
    std::string text = "RSA " + std::to_string(object.keySize) + " " + halves;
    if (object.contentCode & 0x01)
        text += " (generated)";
    return text;
}

}  // namespace

std::string describeCard(const KalvikCard& card) {
    std::ostringstream out;
    const auto id = card.cardId();
    const auto serial = card.serialNumber();
    const auto fresh = card.freshness();
    out << "Kalvik card " << int(card.versionMajor()) << "." << int(card.versionMinor())
        << ", life cycle 0x" << hex16(card.lifeCycle()).substr(2)
        << (card.lifeCycle() == KalvikCard::LIFE_CYCLE_ACTIVATED ? " (activated)"
                                                                 : " (not activated)")
        << "\n";
    out << "Card id:    " << hex(id.data(), id.size()) << "\n";
    out << "Serial:     " << hex(serial.data(), serial.size()) << "\n";
    out << "Memory:     " << card.totalBlocks() << " blocks of " << card.blockSize() << " bytes, "
        << card.freeBlocks() << " free (" << std::size_t(card.freeBlocks()) * card.blockSize()
        << " of " << std::size_t(card.totalBlocks()) * card.blockSize() << " bytes)\n";
    out << "Key slots:  " << card.freeKeySlots() << " free\n";
    out << "Freshness:  counters";
    for (std::size_t i = 0; i < 6; ++i)
        out << " " << (unsigned(fresh[2 * i]) << 8 | fresh[2 * i + 1]);
    out << "\n\nRoles\n";
    out << pad("ROLE", 6) << pad("TYPE", 6) << pad("TRIES", 8) << "PKCS#11 SO\n";
    for (const auto& object : card.authObjects()) {
        out << pad(std::to_string(object.role), 6)
            << pad(object.type == AuthType::PIN ? "PIN" : "KEY", 6)
            << pad(std::to_string(object.triesRemaining) + "/" + std::to_string(object.maxTries), 8)
            << (object.pkcs11So ? "yes" : "no") << (object.triesRemaining == 0 ? "  BLOCKED" : "")
            << "\n";
    }
    out << "\nObjects\n";
    out << pad("KIND", 13) << pad("BLOCK", 7) << pad("NAME", 18) << pad("META", 6)
        << pad("CONTENT", 9) << pad("READ", 6) << pad("WRITE", 6) << pad("DEL", 6)
        << pad("BLOCKS", 8) << "KEY\n";
    const auto objects = card.objects();
    if (objects.empty())
        out << "(none)\n";
    for (const auto& object : objects) {
        out << pad(chainName(object.chain), 13) << pad(hex16(object.blockId), 7)
            << pad(object.chain == Chain::DIRECTORIES && object.name.empty() ? "(empty)"
                   : object.name.empty()                                     ? "-"
                                                                             : object.name,
                   18)
            << pad(std::to_string(object.metadataSize), 6)
            << pad(object.contentSize ? std::to_string(*object.contentSize) : "-", 9)
            << pad(hex16(object.acRead), 6) << pad(hex16(object.acWrite), 6)
            << pad(hex16(object.acDelete), 6) << pad(std::to_string(object.blocks), 8)
            << keyText(object) << "\n";
    }
    return out.str();
}

}  // namespace vcard
