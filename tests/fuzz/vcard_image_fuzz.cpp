// Loading a card image of any content ends in a usable card or in ImageError.
#include "tempdir.h"
#include "vcard/kalvikcard.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static TempDir dir;
    const std::string path = dir.write("card.img", std::string(data, data + size));
    try {
        auto card = vcard::KalvikCard::load(path);
        // What loaded must describe itself and come back as the same bytes.
        vcard::describeCard(*card);
        if (card->serialize().empty())
            __builtin_trap();
    } catch (const vcard::ImageError&) {
    }
    return 0;
}
