// The driver lists every kind of object and reads their content while a
// hostile card answers each command with fuzz bytes.
#include "amwkalvik/objects.h"
#include "amwkalvik/token.h"
#include "exceptions.h"
#include "hostileconnection.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace {

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    HostileConnection card(data, size);
    amwkalvik::Token token(&card);
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
    return 0;
}
