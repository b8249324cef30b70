#pragma once
// One numbering of entity kinds: the entity id of a cache file, the index of
// a freshness counter and the argument of createSerializableEntity.
#include <string>

namespace amw {

// The caching token derives from this empty base so that the ids read as
// amw::CachedToken::CACHED_OBJECT_KEYPAIR and so on.
struct CachedObjectKinds {
    enum CachedObjectId : int {
        CACHED_OBJECT_KEYPAIR = 1,
        CACHED_OBJECT_SECRETKEY = 2,
        CACHED_OBJECT_CERTIFICATE = 3,
        CACHED_OBJECT_DIRECTORY = 4,
        CACHED_OBJECT_FILE = 5,
        CACHED_OBJECT_DATA_OBJECT = 6,
        CACHED_OBJECT_AO = 7,
    };
};

using CachedObjectId = CachedObjectKinds::CachedObjectId;

// "amw::CachedToken::CACHED_OBJECT_KEYPAIR[1]", "UNKNOWN" outside 1..7.
std::string cachedObjectText(long long id);

}  // namespace amw
