// The driver lists every kind of object and reads their content while a
// hostile card answers each command with fuzz bytes.
#include "driverwalk.h"
#include "hostileconnection.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    HostileConnection card(data, size);
    amwkalvik::Token token(&card);
    driverwalk::walk(token);
    return 0;
}
