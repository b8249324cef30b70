#pragma once
// Steps every card-side object kind shares: metadata in and out, content in
// and out.
#include "amwkalvik/lv.h"
#include "staticbuffer.h"

#include <cstddef>
#include <cstdint>

namespace ctl {
class CardConnection;
}

namespace amwkalvik {
namespace storage {

// Reads the metadata behind a header into `out` and returns its size; an
// area over 1024 bytes is refused as "header.metaDataSize" of the caller's
// `function`, `source` and `line`, before anything is read.
std::size_t readMetadata(ctl::CardConnection& connection, const std::uint8_t* header,
                         std::uint8_t* out /*[1024]*/, const char* function, const char* source,
                         int line);

// Writes new metadata (setMetadataSize) or replaces it (beginUpdateMetadata),
// and returns the block id the card reports.
std::uint16_t commitMetadata(ctl::CardConnection& connection, std::uint16_t blockId,
                             const LvWriter& metadata);

// The content on the card into `buffer`; empty when there is none. A
// `sensitive` content travels in exchanges masked in the log.
void readContent(ctl::CardConnection& connection, std::uint16_t blockId,
                 StaticBuffer<65536>& buffer, bool sensitive);

// Replaces the content on the card with `content`; keeps `cardContentSize`
// in step with what the card holds at every point.
void writeContent(ctl::CardConnection& connection, std::uint16_t blockId,
                  const StaticBuffer<65536>& content, std::uint32_t& cardContentSize,
                  bool sensitive);

}  // namespace storage
}  // namespace amwkalvik
