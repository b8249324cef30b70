// The DER reader walks any bytes: each element is size-queried, then copied or
// entered, the choice taken from the element's own tag so the walk is repeatable.
#include "tlvparser.h"

#include <cstdint>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static auto copy = std::make_unique<StaticBuffer<65536>>();
    TlvReader reader(data, size);
    try {
        for (int step = 0; step < 256 && reader.remaining() > 0; ++step) {
            const std::uint8_t tag = *reader.position();
            std::uint64_t needed = 0;
            reader.readNext(tag, nullptr, &needed, (tag & 1) != 0, false);
            if (needed > reader.remaining())
                __builtin_trap();  // a size query promises only bytes that are there
            if (tag & 0x20) {
                reader.enter(tag);
            } else if (tag & 0x40) {
                reader.readNext(tag, copy.get(), (tag & 1) != 0);
                if (copy->size() != needed)
                    __builtin_trap();
            } else {
                reader.skip(tag);
            }
        }
    } catch (const TlvParserException&) {
    }
    return 0;
}
