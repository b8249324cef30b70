#include "internal/cmapfile.h"

#include "amw/cachedtoken.h"
#include "exceptions.h"
#include "sha256.h"
#include "trace.h"

#include <algorithm>
#include <cstring>

QV_TRACE_UNIT("PKCS11", "libpkcs11/src/internal/cmapfile");

namespace {

using cmap::RECORD_SIZE;

// Container indexes are 8-bit wherever they are kept.
constexpr std::size_t MAX_USABLE_RECORDS = 256;
constexpr std::size_t NAME_HEX_BYTES = 10;

std::uint16_t get16(const std::uint8_t* at) {
    return static_cast<std::uint16_t>(at[0] | (at[1] << 8));
}

void put16(std::uint8_t* at, std::uint32_t value) {
    at[0] = static_cast<std::uint8_t>(value);
    at[1] = static_cast<std::uint8_t>(value >> 8);
}

std::vector<std::uint8_t> contentOf(amw::File* file) {
    const StaticBuffer<65536>& content = file->getContent();
    return std::vector<std::uint8_t>(content.begin(), content.end());
}

amw::File* findRequiredFile(amw::CachedToken* token, const char* directory, const char* name) {
    amw::File* file =
        token->findFile(token->findDirectory(cardFileName(directory)), cardFileName(name));
    if (file == nullptr)
        throw InternalErrorException("file %s/%s not found on the card", directory, name);
    return file;
}

std::string nameFromDigest(const Sha256::Digest& digest) {
    static const char digits[] = "0123456789abcdef";
    std::string name;
    for (std::size_t i = 0; i < NAME_HEX_BYTES; ++i) {
        name.push_back(digits[digest[i] >> 4]);
        name.push_back(digits[digest[i] & 0x0F]);
    }
    return name;
}

bool nameTaken(const std::uint8_t* content, std::size_t length, const std::string& name) {
    for (std::size_t at = 0; at + RECORD_SIZE <= length; at += RECORD_SIZE)
        if (isContainerName(content + at, name))
            return true;
    return false;
}

// The new maps go back into the file objects, the token's file counter is
// raised, and `cardcf` is written before `cmapfile`.
void writeBack(amw::CachedToken* token, const CmapFiles& files,
               const std::vector<std::uint8_t>& content) {
    files.cmapfile->setContent(content.data(), content.size());
    token->increaseFreshnessCounter(amw::CachedToken::CACHED_OBJECT_FILE, true);
    files.cardcf->commitContentChanges();
    files.cmapfile->commitContentChanges();
}

// Steps shared by commit and delete: both counters, the record, the write.
template <class Change>
void changeRecord(amw::CachedToken* token, Change change) {
    const CmapFiles files = loadCmapfileAndCardcf(token);
    increaseFileAndContainerFreshness(files.cardcf);
    std::vector<std::uint8_t> content = contentOf(files.cmapfile);
    change(content);
    writeBack(token, files, content);
}

std::uint8_t* recordOf(std::vector<std::uint8_t>& content, std::uint8_t containerIndex) {
    if (content.size() < (containerIndex + 1u) * RECORD_SIZE)
        throw InternalErrorException(
            "commitContainerInCmapfile(): cmapfile is not big enought to contain a record for "
            "container with index %d",
            containerIndex);
    return content.data() + containerIndex * RECORD_SIZE;
}

std::size_t sizeOffset(std::uint32_t keySpec) {
    return keySpec == amw::KeyPair::KEY_EXCHANGE_KEY ? cmap::KEY_EXCHANGE_SIZE_OFFSET
                                                     : cmap::SIGNATURE_SIZE_OFFSET;
}

}  // namespace

StaticBuffer<8> cardFileName(const std::string& text) {
    if (text.size() > 8)
        throw InvalidArgumentException("name length exceeds 8 bytes");
    std::uint8_t lower[8];
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        lower[i] = static_cast<std::uint8_t>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
    return StaticBuffer<8>(lower, text.size());
}

amw::File* findCmapfile(amw::CachedToken* token) {
    QV_ENTER("findCmapfile");
    QV_REQUIRE(token);
    return findRequiredFile(token, "mscp", "cmapfile");
}

CmapFiles loadCmapfileAndCardcf(amw::CachedToken* token) {
    QV_ENTER("loadCmapfileAndCardcf");
    QV_REQUIRE(token);
    CmapFiles files;
    files.cardcf = findRequiredFile(token, "", "cardcf");
    files.cmapfile = findRequiredFile(token, "mscp", "cmapfile");
    return files;
}

void raiseCardcfCounters(std::vector<std::uint8_t>& cardcf) {
    if (cardcf.size() < cmap::CARDCF_MIN_SIZE)
        throw InternalErrorException(
            "prepareContainerInCmapfile(): cardcf file damaged (has less than 6 bytes)");
    put16(&cardcf[2], get16(&cardcf[2]) + 1u);  // containers
    put16(&cardcf[4], get16(&cardcf[4]) + 1u);  // files
}

void increaseFileAndContainerFreshness(amw::File* cardcf) {
    QV_ENTER("increaseFileAndContainerFreshness");
    QV_REQUIRE(cardcf);
    std::vector<std::uint8_t> content = contentOf(cardcf);
    raiseCardcfCounters(content);
    cardcf->setContent(content.data(), content.size());
}

bool isContainerName(const std::uint8_t* recordName, const std::string& name) {
    QV_FUNCTION_NAME("isContainerName");
    QV_REQUIRE_VALID_AT_LINE(name.size() <= cmap::NAME_UNITS - 1, "name", 65);
    for (std::size_t i = 0; i < name.size(); ++i)
        if (get16(recordName + 2 * i) != static_cast<unsigned char>(name[i]))
            return false;
    return get16(recordName + 2 * name.size()) == 0;
}

bool findAvaliableRecordInCmapfile(const std::vector<amw::X509Certificate*>& certificates,
                                   const std::uint8_t* content, std::size_t length,
                                   std::uint8_t* containerIndex) {
    QV_ENTER("findAvaliableRecordInCmapfile");
    QV_REQUIRE(containerIndex);
    const std::size_t records = std::min(length / RECORD_SIZE, MAX_USABLE_RECORDS);
    for (std::size_t index = 0; index < records; ++index) {
        if (content[index * RECORD_SIZE + cmap::FLAGS_OFFSET] != 0)
            continue;
        const bool claimed =
            std::any_of(certificates.begin(), certificates.end(),
                        [&](const amw::X509Certificate* c) { return c->containerIndex == index; });
        if (claimed)
            continue;
        *containerIndex = static_cast<std::uint8_t>(index);
        QV_TRACE_OUT_VALUE(*containerIndex);
        return true;
    }
    return false;
}

std::string generateUniqueContainerName(const std::uint8_t* content, std::size_t length,
                                        const StaticBuffer<128>& pkcs11Id) {
    QV_ENTER("generateUniqueContainerName");
    Sha256::Digest digest = Sha256::digest(pkcs11Id.data, pkcs11Id.size());
    std::string name = nameFromDigest(digest);
    // Each round gives a new name, and the map holds finitely many.
    while (nameTaken(content, length, name)) {
        digest = Sha256::digest(digest.data(), digest.size());
        name = nameFromDigest(digest);
    }
    QV_TRACE_OUT_VALUE(name);
    return name;
}

std::uint8_t claimContainerRecord(std::vector<std::uint8_t>& content,
                                  const std::vector<amw::X509Certificate*>& certificates,
                                  const StaticBuffer<128>& pkcs11Id) {
    std::uint8_t containerIndex = 0;
    // A certificate made before its key names the record one past the last;
    // when a new record lands on such an index, the next one is taken.
    while (!findAvaliableRecordInCmapfile(certificates, content.data(), content.size(),
                                          &containerIndex)) {
        if (content.size() + RECORD_SIZE > cmap::MAX_CONTENT ||
            content.size() / RECORD_SIZE >= MAX_USABLE_RECORDS)
            throw InternalErrorException("cannot update cmapfile, no empty container record found");
        content.resize(content.size() + RECORD_SIZE, 0);
    }
    const std::string name = generateUniqueContainerName(content.data(), content.size(), pkcs11Id);
    std::uint8_t* record = content.data() + containerIndex * RECORD_SIZE;
    std::memset(record, 0, RECORD_SIZE);
    for (std::size_t i = 0; i < name.size(); ++i)
        put16(record + 2 * i, static_cast<unsigned char>(name[i]));
    record[cmap::FLAGS_OFFSET] = cmap::VALID_CONTAINER;
    return containerIndex;
}

void setContainerKeySize(std::vector<std::uint8_t>& content, std::uint8_t containerIndex,
                         std::uint32_t keySpec, std::uint32_t keySize) {
    put16(recordOf(content, containerIndex) + sizeOffset(keySpec), keySize);
}

void clearContainerKeySize(std::vector<std::uint8_t>& content, std::uint8_t containerIndex,
                           std::uint32_t keySpec) {
    std::uint8_t* record = recordOf(content, containerIndex);
    put16(record + sizeOffset(keySpec), 0);
    if (get16(record + cmap::SIGNATURE_SIZE_OFFSET) == 0 &&
        get16(record + cmap::KEY_EXCHANGE_SIZE_OFFSET) == 0)
        std::memset(record, 0, RECORD_SIZE);
}

std::uint8_t prepareContainerInCmapfile(amw::CachedToken* token,
                                        const StaticBuffer<128>& pkcs11Id) {
    QV_ENTER("prepareContainerInCmapfile");
    const CmapFiles files = loadCmapfileAndCardcf(token);
    increaseFileAndContainerFreshness(files.cardcf);
    std::vector<std::uint8_t> content = contentOf(files.cmapfile);
    const std::uint8_t containerIndex =
        claimContainerRecord(content, token->getCertificates(), pkcs11Id);
    writeBack(token, files, content);
    QV_TRACE_OUT_VALUE(containerIndex);
    return containerIndex;
}

void commitContainerInCmapfile(amw::CachedToken* token, std::uint8_t containerIndex,
                               std::uint32_t keySpec, std::uint32_t keySize) {
    QV_ENTER("commitContainerInCmapfile");
    QV_TRACE_VALUE(containerIndex);
    QV_TRACE_NAMED("keySpec", amw::keySpecText(keySpec));
    QV_TRACE_VALUE(keySize);
    changeRecord(token, [&](std::vector<std::uint8_t>& content) {
        setContainerKeySize(content, containerIndex, keySpec, keySize);
    });
}

void deleteContainerInCmapfile(amw::CachedToken* token, std::uint8_t containerIndex,
                               std::uint32_t keySpec) {
    QV_ENTER("deleteContainerInCmapfile");
    QV_TRACE_VALUE(containerIndex);
    QV_TRACE_NAMED("keySpec", amw::keySpecText(keySpec));
    changeRecord(token, [&](std::vector<std::uint8_t>& content) {
        clearContainerKeySize(content, containerIndex, keySpec);
    });
}
