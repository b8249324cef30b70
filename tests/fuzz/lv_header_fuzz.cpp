// LV values of on-card metadata, and the object headers of the driver with
// their metadata answered by a hostile card. Input: one byte picking the
// object kind, a 40-byte header, then the card's answers (also read as LV values).
#include "amwkalvik/lv.h"
#include "amwkalvik/objects.h"
#include "exceptions.h"
#include "hostileconnection.h"

#include <cstdint>
#include <memory>

namespace {

void readValues(const std::uint8_t* data, std::size_t size) {
    amwkalvik::LvReader reader(data, size);
    try {
        for (unsigned flags = 0; reader.position() < size; flags = (flags + 1) % 4) {
            std::uint8_t value[amwkalvik::LV_MAX_VALUE];
            std::size_t length = flags & amwkalvik::LvReader::EXACT_SIZE ? 4 : sizeof value;
            const std::size_t before = reader.position();
            if (reader.readValue(value, &length, flags) && length > sizeof value)
                __builtin_trap();
            if (reader.position() <= before || reader.position() > size)
                __builtin_trap();  // every value moves forward and stays inside
        }
    } catch (const LvParserException&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    constexpr std::size_t HEADER = 40;
    if (size < 1 + HEADER)
        return 0;
    readValues(data + 1 + HEADER, size - 1 - HEADER);
    HostileConnection card(data + 1 + HEADER, size - 1 - HEADER);
    const std::uint8_t* header = data + 1;
    try {
        std::unique_ptr<SerializableEntity> object;
        switch (data[0] % 5) {
        case 0:
            object.reset(amwkalvik::KeyPair::createFromHeader(card, 0x8001, header));
            break;
        case 1:
            object.reset(amwkalvik::X509Certificate::createFromHeader(card, 0x8001, header));
            break;
        case 2:
            object.reset(amwkalvik::DataObject::createFromHeader(card, 0x8001, header));
            break;
        case 3:
            object.reset(amwkalvik::File::createFromHeader(card, 0x8001, header));
            break;
        case 4:
            object.reset(amwkalvik::Directory::createFromHeader(card, 0x8001, header));
            break;
        }
    } catch (const QVException&) {
    }
    return 0;
}
