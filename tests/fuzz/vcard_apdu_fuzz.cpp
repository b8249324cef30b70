// The virtual card answers any sequence of commands. Input: commands as a
// length byte and that many bytes; the card always answers with at least a
// status word and never more than a short APDU can carry.
#include "fuzzcard.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    vcard::KalvikCard card(fuzzCardOptions());
    for (std::size_t i = 0; i < size;) {
        const std::size_t length = std::min<std::size_t>(data[i], size - i - 1);
        const vcard::Bytes command(data + i + 1, data + i + 1 + length);
        i += 1 + length;
        const vcard::Bytes response = card.transmit(command);
        if (response.size() < 2 || response.size() > 256 + 2)
            __builtin_trap();
    }
    return 0;
}
