#pragma once
// Lists of serialisable entities kept in files, one file per entity kind,
// named by the entity id in decimal inside `cachingDir`. A file is read back
// only when the caller's freshness value and the factory's version match the
// ones recorded in it and the integrity delegate accepts its SHA-256 digest.
//
// File layout (header integers little-endian): version (4), freshness (4),
// count (4), then `count` entity records exactly as serialize() writes them,
// in descending compare() order.
#include "cachememory/serializableentity.h"
#include "exceptions.h"

#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

class FileDescriptor;

class CacheMemory {
public:
    static constexpr std::size_t HEADER_LENGTH = 12;
    // Far above the lists of any card (whose content is bounded by its
    // memory); a larger file is damaged or planted and counts as a miss.
    static constexpr std::size_t MAX_FILE_SIZE = 16 * 1024 * 1024;

    // `factory` is not owned and must outlive the store.
    CacheMemory(SerializeEntityFactory* factory, const std::string& cachingDir);

    const std::string& getCachingDir() const { return cachingDir_; }
    // The file of `entityId`.
    std::string getFilePath(int entityId) const;

    // Replaces the file of `entityId` with `collection` (entities stay the
    // caller's). The new file appears under its name only once complete, so a
    // reader never sees half of it. The digest goes to `delegate` (may be
    // null) after the file is in place. Never throws; false when nothing
    // was written.
    bool serializeEntities(int entityId, std::uint32_t freshness,
                           const std::vector<SerializableEntity*>& collection,
                           CacheMemoryIntegrityDelegate* delegate);

    // Fills the empty `collection` with new entities (owned by the caller)
    // when the file is a hit. On a miss (false) and when an entity fails to
    // deserialise (the exception passes on) the collection is left empty.
    // Anything but a regular file of at most MAX_FILE_SIZE bytes, in a card
    // directory that is the user's own, is a miss.
    bool deserializeEntities(int entityId, std::uint32_t freshness,
                             std::vector<SerializableEntity*>* collection,
                             CacheMemoryIntegrityDelegate* delegate);

    // The same for lists of a concrete entity class.
    template <class T>
    bool serializeEntities(int entityId, std::uint32_t freshness, const std::vector<T*>& collection,
                           CacheMemoryIntegrityDelegate* delegate) {
        static_assert(std::is_base_of<SerializableEntity, T>::value, "not a SerializableEntity");
        std::vector<SerializableEntity*> entities(collection.begin(), collection.end());
        return serializeEntities(entityId, freshness, entities, delegate);
    }

    template <class T>
    bool deserializeEntities(int entityId, std::uint32_t freshness, std::vector<T*>* collection,
                             CacheMemoryIntegrityDelegate* delegate) {
        static_assert(std::is_base_of<SerializableEntity, T>::value, "not a SerializableEntity");
        checkTargetCollection(collection, collection == nullptr || collection->empty());
        std::vector<SerializableEntity*> entities;
        if (!deserializeEntities(entityId, freshness, &entities, delegate))
            return false;
        for (SerializableEntity* entity : entities) {
            if (dynamic_cast<T*>(entity) == nullptr) {
                for (SerializableEntity* e : entities)
                    delete e;
                throw InternalErrorException(
                    "CACHE MEMORY: entity of another kind made for entityId [%d]", entityId);
            }
        }
        collection->reserve(entities.size());
        for (SerializableEntity* entity : entities)
            collection->push_back(static_cast<T*>(entity));
        return true;
    }

private:
    // The argument checks of deserializeEntities.
    static void checkTargetCollection(const void* collection, bool isEmpty);

    FileDescriptor openDirectory(bool create) const;
    bool writeFile(int entityId, std::uint32_t freshness,
                   const std::vector<SerializableEntity*>& collection,
                   CacheMemoryIntegrityDelegate* delegate);
    bool readFile(int entityId, std::uint32_t freshness,
                  std::vector<SerializableEntity*>* collection,
                  CacheMemoryIntegrityDelegate* delegate);

    SerializeEntityFactory* factory_;
    std::string cachingDir_;
};
