// The settings file parser over any text: whatever is read, the values stay
// within their documented bounds.
#include "configuration.h"
#include "tempdir.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static TempDir dir;
    const std::string file = dir.write("brisane.txt", std::string(data, data + size));
    Configuration configuration(file);
    if (configuration.getSlotCount() > Configuration::MAX_SLOT_COUNT)
        __builtin_trap();
    Configuration::parseInteger(std::string(data, data + size));
    return 0;
}
