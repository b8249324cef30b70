// The human-readable table of a card's state.
#include <cstdio>
#include <sstream>

#include "vcard/kalvikcard.h"

namespace vcard {
namespace {

std::string hex(const std::uint8_t* p, std::size_t n) {
    std::string s;
    char buf[3];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, "%02X", p[i]);
        s += buf;
    }
    return s;
}

std::string hex16(std::uint16_t v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04X", v);
    return buf;
}

std::string pad(std::string s, std::size_t width) {
    if (s.size() < width)
        s.append(width - s.size(), ' ');
    return s;
}

const char* chainName(Chain c) {
    switch (c) {
    case Chain::DataObjects:
        return "data object";
    case Chain::KeyPairs:
        return "key pair";
    case Chain::Certificates:
        return "certificate";
    case Chain::Directories:
        return "directory";
    case Chain::Files:
        return "file";
    }
    return "?";
}

std::string keyText(const ObjectSummary& o) {
    if (o.chain != Chain::KeyPairs)
        return "-";
    std::string halves;
    if (o.contentCode & 0x02)
        halves += "public";
    if (o.contentCode & 0x04)
        halves += halves.empty() ? "private" : "+private";
    std::string s = "RSA " + std::to_string(o.keySize) + " " + halves;
    if (o.contentCode & 0x01)
        s += " (generated)";
    return s;
}

}  // namespace

std::string describeCard(const KalvikCard& card) {
    std::ostringstream out;
    const auto id = card.cardId();
    const auto serial = card.serialNumber();
    const auto fresh = card.freshness();
    out << "Kalvik card " << int(card.versionMajor()) << "." << int(card.versionMinor())
        << ", life cycle 0x" << hex16(card.lifeCycle()).substr(2)
        << (card.lifeCycle() == KalvikCard::kLifeCycleActivated ? " (activated)"
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
    for (const auto& a : card.authObjects()) {
        out << pad(std::to_string(a.role), 6) << pad(a.type == AuthType::Pin ? "PIN" : "KEY", 6)
            << pad(std::to_string(a.triesRemaining) + "/" + std::to_string(a.maxTries), 8)
            << (a.pkcs11So ? "yes" : "no") << (a.triesRemaining == 0 ? "  BLOCKED" : "") << "\n";
    }
    out << "\nObjects\n";
    out << pad("KIND", 13) << pad("BLOCK", 7) << pad("NAME", 18) << pad("META", 6)
        << pad("CONTENT", 9) << pad("READ", 6) << pad("WRITE", 6) << pad("DEL", 6)
        << pad("BLOCKS", 8) << "KEY\n";
    const auto objs = card.objects();
    if (objs.empty())
        out << "(none)\n";
    for (const auto& o : objs) {
        out << pad(chainName(o.chain), 13) << pad(hex16(o.blockId), 7)
            << pad(o.chain == Chain::Directories && o.name.empty() ? "(empty)"
                   : o.name.empty()                                ? "-"
                                                                   : o.name,
                   18)
            << pad(std::to_string(o.metadataSize), 6)
            << pad(o.contentSize ? std::to_string(*o.contentSize) : "-", 9)
            << pad(hex16(o.acRead), 6) << pad(hex16(o.acWrite), 6) << pad(hex16(o.acDelete), 6)
            << pad(std::to_string(o.blocks), 8) << keyText(o) << "\n";
    }
    return out.str();
}

}  // namespace vcard
