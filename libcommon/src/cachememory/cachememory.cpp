#include "cachememory/cachememory.h"

#include "fileutils.h"
#include "sha256.h"
#include "trace.h"

#include <unistd.h>
#include <algorithm>
#include <cstdio>
#include <fstream>

QV_TRACE_UNIT("LIBCOMMON", "libcommon/src/cachememory/cachememory");

namespace {

constexpr std::size_t DIGEST_CHUNK = 1024;
// The files describe what is on the user's card: nobody else reads them.
constexpr unsigned DIRECTORY_MODE = 0700;

void putLittleEndian32(std::uint8_t* p, std::uint32_t value) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint32_t getLittleEndian32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16) |
           (std::uint32_t(p[3]) << 24);
}

// SHA-256 of the whole stream from offset 0, read in 1024-byte chunks.
// Leaves the stream cleared at its end.
bool digestStream(std::istream& stream, CacheMemoryDigest* digest) {
    stream.clear();
    stream.seekg(0, std::ios::beg);
    if (!stream)
        return false;
    Sha256 sha;
    char chunk[DIGEST_CHUNK];
    for (;;) {
        stream.read(chunk, sizeof chunk);
        if (stream.gcount() > 0)
            sha.update(chunk, static_cast<std::size_t>(stream.gcount()));
        if (stream.bad())
            return false;
        if (stream.eof())
            break;
        if (stream.fail())
            return false;
    }
    stream.clear();
    *digest = sha.final();
    return true;
}

void destroyEntities(std::vector<SerializableEntity*>* collection) {
    for (SerializableEntity* entity : *collection)
        delete entity;
    collection->clear();
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

bool CacheMemory::writeFile(int entityId, std::uint32_t freshness,
                            const std::vector<SerializableEntity*>& collection,
                            CacheMemoryIntegrityDelegate* delegate) {
    const std::string path = getFilePath(entityId);
    if (!createDirectories(cachingDir_, DIRECTORY_MODE)) {
        QV_TRACE("CACHE MEMORY: failed to create dir %s", cachingDir_.c_str());
        return false;
    }

    // Written under a temporary name in the same directory and renamed over
    // the old file when complete: a crash leaves at most a stray temporary
    // file, never a truncated cache file. mkstemp creates it owner-only.
    std::vector<char> tempName(path.begin(), path.end());
    for (char c : std::string(".XXXXXX"))
        tempName.push_back(c);
    tempName.push_back('\0');
    int fd = ::mkstemp(tempName.data());
    if (fd < 0) {
        QV_TRACE("CACHE MEMORY: failed to open cache file %s", path.c_str());
        return false;
    }
    ::close(fd);
    const std::string tempPath(tempName.data());

    bool ok = false;
    CacheMemoryDigest digest{};
    try {
        std::fstream file(tempPath,
                          std::ios::in | std::ios::out | std::ios::trunc | std::ios::binary);
        if (!file.is_open()) {
            QV_TRACE("CACHE MEMORY: failed to open cache file %s", path.c_str());
        } else {
            std::uint8_t header[HEADER_LENGTH];
            putLittleEndian32(header, factory_->getSerializationVersion());
            putLittleEndian32(header + 4, freshness);
            putLittleEndian32(header + 8, static_cast<std::uint32_t>(collection.size()));
            file.write(reinterpret_cast<const char*>(header), sizeof header);

            std::vector<SerializableEntity*> sorted(collection);
            if (std::find(sorted.begin(), sorted.end(), nullptr) != sorted.end())
                throw InternalErrorException("CACHE MEMORY: null entity in collection");
            // Descending order makes the bytes independent of the list's order.
            std::stable_sort(sorted.begin(), sorted.end(),
                             [](const SerializableEntity* a, const SerializableEntity* b) {
                                 return a->compare(*b) > 0;
                             });
            for (const SerializableEntity* entity : sorted)
                entity->serialize(file);
            file.flush();
            ok = file.good();

            if (ok && delegate != nullptr && !digestStream(file, &digest)) {
                QV_TRACE("CACHE MEMORY: fail to compute SHA-256 of file %s", path.c_str());
                ok = false;
            }
            file.close();
            ok = ok && !file.fail();
        }
    } catch (...) {
        ok = false;
    }

    if (ok && ::rename(tempPath.c_str(), path.c_str()) != 0) {
        QV_TRACE("CACHE MEMORY: failed to replace cache file %s", path.c_str());
        ok = false;
    }
    if (!ok) {
        deleteFile(tempPath);
        return false;
    }

    // The digest is handed on only for a file that is in place.
    if (delegate != nullptr) {
        try {
            delegate->cacheMemoryHash(this, entityId, digest);
        } catch (...) {
            deleteFile(path);
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
    std::ifstream file(path, std::ios::in | std::ios::binary);
    if (!file.is_open()) {
        QV_TRACE("CACHE MEMORY: Failed to open cache file %s", path.c_str());
        return false;
    }

    std::uint8_t header[HEADER_LENGTH];
    if (!file.read(reinterpret_cast<char*>(header), sizeof header)) {
        QV_TRACE("CACHE MEMORY: Failed to read header from cache file %s", path.c_str());
        return false;
    }
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

    if (delegate != nullptr) {
        CacheMemoryDigest digest{};
        if (!digestStream(file, &digest)) {
            QV_TRACE("CACHE MEMORY: fail to compute SHA-256 of file %s", path.c_str());
            return false;
        }
        if (!delegate->cacheMemoryVerifyHash(this, entityId, digest)) {
            QV_TRACE("CACHE MEMORY: Integrity of cache broken in file %s", path.c_str());
            return false;
        }
        file.seekg(static_cast<std::streamoff>(HEADER_LENGTH), std::ios::beg);
    }

    for (std::uint32_t i = 0; i < count && file.good(); ++i) {
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
