#pragma once
// What the driver fuzz target does with a card: list every kind of object,
// read the content of those that have one, then the freshness block and the
// memory information. The seed recorder walks a real card the same way, so
// its recorded answers lead the fuzzer down the same path.
#include "amwkalvik/objects.h"
#include "amwkalvik/token.h"
#include "exceptions.h"
#include "fakeconnection.h"

#include <cstdint>
#include <memory>

namespace driverwalk {

template <class T, bool ReadContent = false, class List>
void listAndRead(List list) {
    fake::Owned<T> objects;
    try {
        list(objects.items);
    } catch (const QVException&) {
    }
    if constexpr (ReadContent) {
        static auto content = std::make_unique<StaticBuffer<65536>>();
        for (T* object : objects.items) {
            try {
                object->readContent(*content);
            } catch (const QVException&) {
            }
        }
    }
}

inline void walk(amwkalvik::Token& token) {
    using namespace amw;
    listAndRead<KeyPair>([&](auto& l) { token.listKeyPairs(l); });
    listAndRead<X509Certificate, true>([&](auto& l) { token.listCertificates(l); });
    listAndRead<DataObject, true>([&](auto& l) { token.listDataObjects(l); });
    listAndRead<Directory>([&](auto& l) { token.listDirs(l); });
    listAndRead<File, true>([&](auto& l) { token.listFiles(l); });
    listAndRead<AuthenticationObject>([&](auto& l) { token.listAuthenticateObjects(l); });
    try {
        FreshnessBlock block;
        token.getCacheFreshness(&block);
        std::uint32_t total = 0, free = 0;
        token.getMemoryInfo(&total, &free);
    } catch (const QVException&) {
    }
}

}  // namespace driverwalk
