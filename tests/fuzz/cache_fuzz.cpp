// A cache file of any content is read back through the store with the card
// driver's entity factory; the digest check is waived so the bytes reach the
// decoders. The input is a kind byte, then the file; the freshness is taken
// from the file itself so that the fuzzer can get past the header.
#include "amwkalvik/token.h"
#include "cachememory/cachememory.h"
#include "exceptions.h"
#include "fakeconnection.h"
#include "tempdir.h"

#include <cstdint>
#include <cstring>
#include <string>

namespace {

class AcceptAll : public CacheMemoryIntegrityDelegate {
public:
    void cacheMemoryHash(CacheMemory*, int, const CacheMemoryDigest&) override {}
    bool cacheMemoryVerifyHash(CacheMemory*, int, const CacheMemoryDigest&) override {
        return true;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static TempDir dir;
    static fake::Connection card;
    static amwkalvik::Token factory(&card);
    static CacheMemory cache(&factory, dir.path() + "/");
    if (size < 1 + CacheMemory::HEADER_LENGTH)
        return 0;
    const int entityId = 1 + data[0] % 7;
    ++data;
    --size;
    std::uint32_t freshness;
    std::memcpy(&freshness, data + 4, sizeof freshness);
    dir.write(std::to_string(entityId), std::string(data, data + size));

    AcceptAll delegate;
    std::vector<SerializableEntity*> entities;
    try {
        cache.deserializeEntities(entityId, freshness, &entities, &delegate);
    } catch (const QVException&) {
        if (!entities.empty())
            __builtin_trap();  // a failed read hands out nothing
    }
    for (SerializableEntity* e : entities)
        delete e;
    return 0;
}
