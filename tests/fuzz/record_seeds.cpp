// Records fuzz seeds from a real session with the virtual card: the card
// token logs in and creates one object of every kind (a generated key pair, a
// certificate and a file over more than one block, a public and a private
// data object), then a fresh token walks the card as the driver target does.
// The card's answers to the walk become a driver seed; the commands of the
// whole session a vcard_apdu seed; the cache files of the card's lists cache
// seeds (a kind byte, then the file).
//   record_seeds CORPUS-DIR
#include "cachememory/cachememory.h"
#include "driverwalk.h"
#include "fuzzcard.h"
#include "tempdir.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <type_traits>

namespace {

using vcard::Bytes;

// The module's side of the card: commands go straight to the virtual card.
class CardLink : public ctl::CardConnection {
public:
    explicit CardLink(vcard::KalvikCard& card) : card_(card) {}

    bool recordAnswers = false;
    Bytes commands;  // each as a length byte and the command
    Bytes answers;   // each as a 2-byte length, the data and the status word

    bool isPinPadAvailable() override { return false; }
    Protocol getProtocol() override { return PROTOCOL_T1; }
    std::uint16_t transmit(const std::uint8_t* command, std::size_t commandLength,
                           std::uint8_t* response, std::size_t* responseLength,
                           std::uint32_t) override {
        const Bytes c(command, command + commandLength);
        const Bytes r = card_.transmit(c);
        if (r.size() < 2)
            throw std::runtime_error("the card answered without a status word");
        const std::size_t n = std::min(r.size() - 2, *responseLength);
        std::memcpy(response, r.data(), n);
        *responseLength = n;
        const std::uint16_t sw = static_cast<std::uint16_t>(r[r.size() - 2] << 8 | r.back());
        // Longer commands do not fit the target's length byte.
        if (commandLength <= 255) {
            commands.push_back(static_cast<std::uint8_t>(commandLength));
            commands.insert(commands.end(), c.begin(), c.end());
        }
        if (recordAnswers) {
            answers.push_back(static_cast<std::uint8_t>(n >> 8));
            answers.push_back(static_cast<std::uint8_t>(n));
            answers.insert(answers.end(), r.begin(), r.begin() + static_cast<std::ptrdiff_t>(n));
            answers.push_back(static_cast<std::uint8_t>(sw >> 8));
            answers.push_back(static_cast<std::uint8_t>(sw));
        }
        return sw;
    }
    std::uint16_t pinPadVerify(std::uint8_t, const std::uint8_t*, std::size_t) override {
        throw std::logic_error("no PIN pad");
    }
    std::uint16_t pinPadModify(std::uint8_t, std::uint8_t, std::uint8_t, std::uint8_t,
                               const std::uint8_t*, std::size_t) override {
        throw std::logic_error("no PIN pad");
    }

private:
    vcard::KalvikCard& card_;
};

template <std::size_t N>
StaticBuffer<N> text(const char* s) {
    return StaticBuffer<N>(reinterpret_cast<const std::uint8_t*>(s), std::strlen(s));
}

void fill(amwkalvik::Token& token) {
    using amw::AccessCondition;
    const AccessCondition everyone(0x0101), user(0x0106), unspecified(0xFFFF);
    amw::AuthenticationObject pinObject;
    pinObject.role = amw::AMWROLE_USER;
    pinObject.type = amw::AuthenticationObject::PIN;
    std::uint32_t tries = 0;
    if (token.authenticate(&pinObject, reinterpret_cast<const std::uint8_t*>("123456"), 6, &tries,
                           nullptr) != amw::AUTHENTICATION_SUCCESS)
        throw std::runtime_error("the user PIN was refused");

    const std::uint8_t e[] = {0x01, 0x00, 0x01};
    std::unique_ptr<amw::KeyPair> pair(token.generateKeyPair(
        text<128>("public"), text<128>("private"), 1024, 0, amw::KeyPair::SIGNATURE_KEY,
        text<128>("key"), 0x00FF, StaticBuffer<256>(e, sizeof e)));
    pair->commitCreationOrMetadataChanges();

    Bytes body(600);
    for (std::size_t i = 0; i < body.size(); ++i)
        body[i] = static_cast<std::uint8_t>(i);
    std::unique_ptr<amw::X509Certificate> certificate(
        token.createCertificate(text<128>("certificate"), text<128>("key"), 0,
                                amw::KeyPair::SIGNATURE_KEY, true, everyone, user, user));
    certificate->setContent(body.data(), body.size());
    certificate->commitCreationOrMetadataChanges();
    certificate->commitContentChanges();

    for (const bool secret : {false, true}) {
        std::unique_ptr<amw::DataObject> object(token.createDataObject(
            text<128>(secret ? "secret" : "note"), text<128>(secret ? "do-2" : "do-1"),
            text<128>("1.2.3"), text<128>("app"), user, secret ? user : everyone, user, user));
        object->setContent(reinterpret_cast<const std::uint8_t*>("content"), 7);
        object->commitCreationOrMetadataChanges();
        object->commitContentChanges();
    }

    std::unique_ptr<amw::Directory> directory(token.createDirectory(text<8>("KEYS"), user, user));
    directory->commitCreationOrMetadataChanges();
    std::unique_ptr<amw::File> file(
        token.createFile(directory.get(), text<8>("blob"), everyone, unspecified, unspecified));
    file->setContent(body.data(), 300);
    file->commitCreationOrMetadataChanges();
    file->commitContentChanges();
    token.deauthenticate(amw::AMWROLE_USER);
}

void write(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

class NoDigest : public CacheMemoryIntegrityDelegate {
public:
    void cacheMemoryHash(CacheMemory*, int, const CacheMemoryDigest&) override {}
    bool cacheMemoryVerifyHash(CacheMemory*, int, const CacheMemoryDigest&) override {
        return true;
    }
};

// The cache file of one kind, the bodies that may be cached included.
template <class T>
void storeList(amw::Token& token, CacheMemory& cache, int entityId,
               void (amw::Token::*list)(std::vector<T*>&), const std::string& corpus) {
    fake::Owned<T> objects;
    (token.*list)(objects.items);
    if constexpr (std::is_base_of_v<amw::DataStorage, T>)
        for (T* object : objects.items)
            if (!object->isPrivateContent())
                object->getContent();
    NoDigest delegate;
    cache.serializeEntities(entityId, 1, objects.items, &delegate);
    std::ifstream in(cache.getFilePath(entityId), std::ios::binary);
    Bytes seed{static_cast<std::uint8_t>(entityId - 1)};
    seed.insert(seed.end(), std::istreambuf_iterator<char>(in), {});
    write(corpus + "/cache/recorded-" + std::to_string(entityId), seed);
}

void writeCacheSeeds(amw::Token& token, const std::string& corpus) {
    TempDir dir;
    CacheMemory cache(&token, dir.path() + "/");
    storeList(token, cache, 1, &amw::Token::listKeyPairs, corpus);
    storeList(token, cache, 3, &amw::Token::listCertificates, corpus);
    storeList(token, cache, 4, &amw::Token::listDirs, corpus);
    storeList(token, cache, 5, &amw::Token::listFiles, corpus);
    storeList(token, cache, 6, &amw::Token::listDataObjects, corpus);
    storeList(token, cache, 7, &amw::Token::listAuthenticateObjects, corpus);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: record_seeds CORPUS-DIR\n");
        return 2;
    }
    try {
        vcard::KalvikCard card(fuzzCardOptions());
        CardLink link(card);
        std::unique_ptr<amw::Token> filler(amw::Token::createToken(&link, 0, true));
        fill(static_cast<amwkalvik::Token&>(*filler));
        link.recordAnswers = true;
        amwkalvik::Token walker(&link);
        driverwalk::walk(walker);
        const std::string dir = argv[1];
        write(dir + "/driver/recorded-card", link.answers);
        write(dir + "/vcard_apdu/recorded-session", link.commands);
        writeCacheSeeds(walker, dir);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "record_seeds: %s\n", e.what());
        return 1;
    }
    return 0;
}
