#include "cachememory/cachememory.h"

#include "fileutils.h"
#include "sha256.h"
#include "trace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <random>
#include <sstream>

QV_TRACE_UNIT("LIBCOMMON", "libcommon/src/cachememory/cachememory");

namespace {

// The files describe what is on the user's card: nobody else reads them.
constexpr unsigned DIRECTORY_MODE = 0700;
constexpr mode_t FILE_MODE = 0600;

void putLittleEndian32(std::uint8_t* p, std::uint32_t value) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint32_t getLittleEndian32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16) |
           (std::uint32_t(p[3]) << 24);
}

void destroyEntities(std::vector<SerializableEntity*>* collection) {
    for (SerializableEntity* entity : *collection)
        delete entity;
    collection->clear();
}

std::string withoutTrailingSeparators(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

// A new file of a name nobody else uses, next to the one it will replace.
FileDescriptor createTemporary(int directory, const std::string& name, std::string* tempName) {
    std::random_device random;
    for (int attempt = 0; attempt < 16; ++attempt) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, ".%08x", static_cast<unsigned>(random()));
        *tempName = name + suffix;
        FileDescriptor file(::openat(directory, tempName->c_str(),
                                     O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                     FILE_MODE));
        if (file.valid() || errno != EEXIST)
            return file;
    }
    return FileDescriptor();
}

}  // namespace

CacheMemory::CacheMemory(SerializeEntityFactory* factory, const std::string& cachingDir)
    : factory_(factory), cachingDir_(cachingDir) {
    QV_FUNCTION_NAME("CacheMemory::CacheMemory");
    QV_REQUIRE(factory);
}

std::string CacheMemory::getFilePath(int entityId) const {
    return joinPath(cachingDir_, std::to_string(entityId));
}

void CacheMemory::checkTargetCollection(const void* collection, bool isEmpty) {
    QV_FUNCTION_NAME("CacheMemory::deserializeEntities");
    QV_REQUIRE_AT_LINE(collection, "collection", 29);
    if (!isEmpty)
        throw InternalErrorException("CACHE MEMORY: getCachedEntity() collection is not empty");
}

bool CacheMemory::serializeEntities(int entityId, std::uint32_t freshness,
                                    const std::vector<SerializableEntity*>& collection,
                                    CacheMemoryIntegrityDelegate* delegate) {
    try {
        return writeFile(entityId, freshness, collection, delegate);
    } catch (...) {
        // Only allocation can fail here; writeFile cleans up its own files.
        return false;
    }
}

// The card's directory, opened without following a link in its place. It is
// trusted only when it is ours and nobody else may use it: a directory of
// ours that others may enter is closed up again; one that belongs to someone
// else, or a link, is not used at all (the cache just misses).
FileDescriptor CacheMemory::openDirectory(bool create) const {
    const std::string path = withoutTrailingSeparators(cachingDir_);
    if (create && !createDirectories(path, DIRECTORY_MODE)) {
        QV_TRACE("CACHE MEMORY: failed to create dir %s", cachingDir_.c_str());
        return FileDescriptor();
    }
    FileDescriptor directory(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    const bool missing = !directory.valid() && errno == ENOENT;
    struct stat st;
    if (!missing &&
        (!directory.valid() || ::fstat(directory.get(), &st) != 0 || st.st_uid != ::geteuid() ||
         ((st.st_mode & 077) != 0 && ::fchmod(directory.get(), DIRECTORY_MODE) != 0))) {
        QV_TRACE("CACHE MEMORY: untrusted cache directory %s", cachingDir_.c_str());
        return FileDescriptor();
    }
    return directory;
}

bool CacheMemory::writeFile(int entityId, std::uint32_t freshness,
                            const std::vector<SerializableEntity*>& collection,
                            CacheMemoryIntegrityDelegate* delegate) {
    const std::string path = getFilePath(entityId);
    const std::string name = std::to_string(entityId);

    std::ostringstream stream(std::ios::out | std::ios::binary);
    std::uint8_t header[HEADER_LENGTH];
    putLittleEndian32(header, factory_->getSerializationVersion());
    putLittleEndian32(header + 4, freshness);
    putLittleEndian32(header + 8, static_cast<std::uint32_t>(collection.size()));
    stream.write(reinterpret_cast<const char*>(header), sizeof header);
    std::vector<SerializableEntity*> sorted(collection);
    if (std::find(sorted.begin(), sorted.end(), nullptr) != sorted.end())
        throw InternalErrorException("CACHE MEMORY: null entity in collection");
    // Descending order makes the bytes independent of the list's order.
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const SerializableEntity* a, const SerializableEntity* b) {
                         return a->compare(*b) > 0;
                     });
    for (const SerializableEntity* entity : sorted)
        entity->serialize(stream);
    const std::string bytes = stream.str();
    if (!stream.good() || bytes.size() > MAX_FILE_SIZE)
        return false;

    FileDescriptor directory = openDirectory(true);
    if (!directory.valid())
        return false;
    // Written under a temporary name in the same directory and renamed over
    // the old file when complete: a crash leaves at most a stray temporary
    // file, never a truncated cache file, and whatever stood under the name
    // (a link, a FIFO) is replaced rather than written through.
    std::string tempName;
    FileDescriptor file = createTemporary(directory.get(), name, &tempName);
    if (!file.valid()) {
        QV_TRACE("CACHE MEMORY: failed to open cache file %s", path.c_str());
        return false;
    }
    bool ok = writeAll(file.get(), bytes.data(), bytes.size());
    ok = ::close(file.release()) == 0 && ok;
    if (ok && ::renameat(directory.get(), tempName.c_str(), directory.get(), name.c_str()) != 0) {
        QV_TRACE("CACHE MEMORY: failed to replace cache file %s", path.c_str());
        ok = false;
    }
    if (!ok) {
        ::unlinkat(directory.get(), tempName.c_str(), 0);
        return false;
    }

    // The digest is handed on only for a file that is in place.
    if (delegate != nullptr) {
        try {
            delegate->cacheMemoryHash(this, entityId, Sha256::digest(bytes.data(), bytes.size()));
        } catch (...) {
            ::unlinkat(directory.get(), name.c_str(), 0);
            return false;
        }
    }
    return true;
}

bool CacheMemory::deserializeEntities(int entityId, std::uint32_t freshness,
                                      std::vector<SerializableEntity*>* collection,
                                      CacheMemoryIntegrityDelegate* delegate) {
    checkTargetCollection(collection, collection == nullptr || collection->empty());
    bool hit = false;
    try {
        hit = readFile(entityId, freshness, collection, delegate);
    } catch (...) {
        destroyEntities(collection);
        throw;
    }
    // A half-filled list is of no use to anyone.
    if (!hit)
        destroyEntities(collection);
    return hit;
}

bool CacheMemory::readFile(int entityId, std::uint32_t freshness,
                           std::vector<SerializableEntity*>* collection,
                           CacheMemoryIntegrityDelegate* delegate) {
    const std::string path = getFilePath(entityId);
    // Only a regular file of a size a cache file can have, not a link in its
    // place: a FIFO or a link to a device would hang or flood the call.
    FileDescriptor directory = openDirectory(false);
    std::string bytes;
    if (!directory.valid() ||
        !readRegularFile(std::to_string(entityId), false, MAX_FILE_SIZE, &bytes, directory.get())) {
        QV_TRACE("CACHE MEMORY: Failed to open cache file %s", path.c_str());
        return false;
    }
    if (bytes.size() < HEADER_LENGTH) {
        QV_TRACE("CACHE MEMORY: Failed to read header from cache file %s", path.c_str());
        return false;
    }
    const std::uint8_t* header = reinterpret_cast<const std::uint8_t*>(bytes.data());
    const std::uint32_t version = getLittleEndian32(header);
    const std::uint32_t fileFreshness = getLittleEndian32(header + 4);
    const std::uint32_t count = getLittleEndian32(header + 8);

    if (fileFreshness != freshness) {
        QV_TRACE("CACHE MEMORY: miss [requested_freshness=%d, cache_freshness=%d]",
                 static_cast<int>(freshness), static_cast<int>(fileFreshness));
        return false;
    }
    const std::uint32_t expectedVersion = factory_->getSerializationVersion();
    if (version != expectedVersion) {
        QV_TRACE("CACHE MEMORY: miss - bad version [requested_version=%d, cache_version=%d]",
                 static_cast<int>(expectedVersion), static_cast<int>(version));
        return false;
    }
    if (delegate != nullptr && !delegate->cacheMemoryVerifyHash(
                                   this, entityId, Sha256::digest(bytes.data(), bytes.size()))) {
        QV_TRACE("CACHE MEMORY: Integrity of cache broken in file %s", path.c_str());
        return false;
    }

    std::istringstream file(bytes, std::ios::in | std::ios::binary);
    file.seekg(static_cast<std::streamoff>(HEADER_LENGTH), std::ios::beg);
    // Every record takes at least one byte, whatever the header claims.
    for (std::uint32_t i = 0; i < count && file.good(); ++i) {
        if (i >= bytes.size() - HEADER_LENGTH) {
            file.setstate(std::ios::failbit);
            break;
        }
        SerializableEntity* entity = factory_->createSerializableEntity(entityId);
        if (entity == nullptr)
            throw InternalErrorException("CACHE MEMORY: no entity made for entityId [%d]",
                                         entityId);
        collection->push_back(entity);
        entity->deserialize(file);
    }
    if (!file.good()) {
        QV_TRACE("CACHE MEMORY: Failed to deserialize a cached entity in file %s", path.c_str());
        return false;
    }
    return true;
}
