#pragma once
// The container map files other card software reads: `mscp/cmapfile`, an
// array of 86-byte container records, and `cardcf`, whose counters tell
// readers that containers and files changed. Kept in step with the RSA keys
// the module creates and removes.
#include "staticbuffer.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace amw {
class CachedToken;
class File;
class X509Certificate;
}  // namespace amw

namespace cmap {
constexpr std::size_t RECORD_SIZE = 86;
constexpr std::size_t NAME_UNITS = 40;  // UTF-16, zero-terminated
constexpr std::size_t FLAGS_OFFSET = 80;
constexpr std::size_t SIGNATURE_SIZE_OFFSET = 82;
constexpr std::size_t KEY_EXCHANGE_SIZE_OFFSET = 84;
constexpr std::uint8_t VALID_CONTAINER = 1;
constexpr std::size_t MAX_CONTENT = 65536;
constexpr std::size_t CARDCF_MIN_SIZE = 6;
}  // namespace cmap

struct CmapFiles {
    amw::File* cardcf;
    amw::File* cmapfile;
};

// A card file or directory name: lower-cased, at most 8 bytes
// (InvalidArgumentException "name length exceeds 8 bytes" otherwise).
StaticBuffer<8> cardFileName(const std::string& text);

// `mscp/cmapfile`. A missing `mscp` fails in the token's lookup; a missing
// file is refused with InternalErrorException rather than used.
amw::File* findCmapfile(amw::CachedToken* token);
// `cardcf` in the directory with the empty name, and `mscp/cmapfile`.
CmapFiles loadCmapfileAndCardcf(amw::CachedToken* token);

// Adds one to the containers and the files freshness of `cardcf` (16-bit
// little-endian at bytes 2 and 4, wrapping), in memory only.
void increaseFileAndContainerFreshness(amw::File* cardcf);

// Whether the record's UTF-16 name is exactly `name` (at most 39 characters).
bool isContainerName(const std::uint8_t* recordName, const std::string& name);

// The first record, in index order, whose flags are 0 and whose index no
// certificate carries. Only indexes an 8-bit container index can name count.
bool findAvaliableRecordInCmapfile(const std::vector<amw::X509Certificate*>& certificates,
                                   const std::uint8_t* content, std::size_t length,
                                   std::uint8_t* containerIndex);

// 20 lowercase hex digits of SHA-256 of the identifier, hashed again while
// a record already has the name.
std::string generateUniqueContainerName(const std::uint8_t* content, std::size_t length,
                                        const StaticBuffer<128>& pkcs11Id);

// The same steps on the bytes of the files, without the card.
// Raises both `cardcf` counters; InternalErrorException under 6 bytes.
void raiseCardcfCounters(std::vector<std::uint8_t>& cardcf);
// Takes the first free record, adding one when none is free (at most 65536
// bytes), and writes the new container's name and flags 1 into it.
std::uint8_t claimContainerRecord(std::vector<std::uint8_t>& content,
                                  const std::vector<amw::X509Certificate*>& certificates,
                                  const StaticBuffer<128>& pkcs11Id);
// The key exchange size for KEY_EXCHANGE_KEY, else the signature size.
// InternalErrorException when the map has no such record.
void setContainerKeySize(std::vector<std::uint8_t>& content, std::uint8_t containerIndex,
                         std::uint32_t keySpec, std::uint32_t keySize);
void clearContainerKeySize(std::vector<std::uint8_t>& content, std::uint8_t containerIndex,
                           std::uint32_t keySpec);

// Claims a record for a new key (name, flags 1) and writes both files.
std::uint8_t prepareContainerInCmapfile(amw::CachedToken* token, const StaticBuffer<128>& pkcs11Id);
// Records the key size of a prepared container under its keySpec.
void commitContainerInCmapfile(amw::CachedToken* token, std::uint8_t containerIndex,
                               std::uint32_t keySpec, std::uint32_t keySize);
// Clears the key size of the keySpec; a record left without sizes is cleared whole.
void deleteContainerInCmapfile(amw::CachedToken* token, std::uint8_t containerIndex,
                               std::uint32_t keySpec);
