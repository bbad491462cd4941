// Byte layout of an event block: the chunk header and link, the type byte, the field indexes of the
// field stream and the column state word. docs/event-block-format.md explains it with worked bytes.
//
// The one place these numbers are written down: the decoder, the host-side encoder, the tests and the
// benchmarks all take them from here. Integers in a block are little-endian.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ostrel {
namespace block_format {

// ---- Chunks ----------------------------------------------------------------------------------------
// Every chunk starts with a 2-byte id and a 4-byte total length; the first chunk then carries the type
// byte. A chunk whose id has kChunkLinked set ends with an 8-byte signed distance to the next chunk.
constexpr size_t kChunkIdOffset = 0;        // uint16, never 0
constexpr size_t kChunkLenOffset = 2;       // uint32, the whole chunk, header and link included
constexpr size_t kChunkHeaderSize = 6;      // id + len
constexpr size_t kTypeOffset = 6;           // first chunk only: one EventType value
constexpr size_t kFirstPayloadOffset = 7;   // payload of the first chunk
constexpr size_t kLaterPayloadOffset = 6;   // payload of every later chunk
constexpr uint16_t kChunkLinked = 0x8000;   // id bit 15: another chunk follows
constexpr size_t kLinkSize = 8;             // int64 at len - 8 of a linked chunk (CHUNK_ADDR)
// Shortest well-formed chunks: a linked first chunk, a linked later chunk, a last later chunk.
constexpr size_t kMinLinkedFirstChunk = kFirstPayloadOffset + kLinkSize;  // 15
constexpr size_t kMinLinkedLaterChunk = kLaterPayloadOffset + kLinkSize;  // 14
constexpr size_t kMinLastLaterChunk = kLaterPayloadOffset;                // 6

// ---- Field stream ----------------------------------------------------------------------------------
// No tags and no padding: the wire type of a field follows from its index and the event type.
constexpr uint32_t kStrPrefixSize = 4;  // string: uint32 length, then the bytes
constexpr uint32_t kInt4Size = 4;
constexpr uint32_t kInt8Size = 8;

// Indexes every event shares: database, table, GTID, SQL text.
constexpr uint32_t kDbIndex = 0;
constexpr uint32_t kTableIndex = 1;
constexpr uint32_t kGtidIndex = 2;
constexpr uint32_t kSqlIndex = 3;

// DDL events (IsDdlType): nine fields in all.
constexpr uint32_t kDdlXidIndex = 4;
constexpr uint32_t kDdlOriginalTsIndex = 5;
constexpr uint32_t kDdlImmediateTsIndex = 6;
constexpr uint32_t kDdlOriginalVersionIndex = 7;
constexpr uint32_t kDdlImmediateVersionIndex = 8;

// Row events (insert, update, delete, GTID set): N columns, R rows, I images (R, or 2R for an update,
// old image first). The field runs are placed by the last index of each run.
constexpr uint32_t kColumnCountIndex = 4;
constexpr uint32_t kFirstNameIndex = 5;
constexpr uint32_t LastNameIndex(uint32_t n) { return n + 4; }           // names: 5 .. N+4
constexpr uint32_t LastStateIndex(uint32_t n) { return (n + 2) * 2; }    // state words: N+5 .. 2N+4
constexpr uint32_t RowCountIndex(uint32_t n) { return LastStateIndex(n) + 1; }  // 2N+5
// Last row value: 2N+5+I*N, that is (R+2)*N+5, or 2*(R+1)*N+5 for an update.
constexpr uint32_t LastValueIndex(uint32_t n, uint32_t r, bool update) {
  return update ? 2 * (r + 1) * n + 5 : (r + 2) * n + 5;
}
// The trailer after the last row value, as distances from LastValueIndex.
constexpr uint32_t kXidAfterValues = 1;
constexpr uint32_t kOriginalTsAfterValues = 2;
constexpr uint32_t kImmediateTsAfterValues = 3;
constexpr uint32_t kOriginalVersionAfterValues = 4;
constexpr uint32_t kImmediateVersionAfterValues = 5;

// ---- Column state word -----------------------------------------------------------------------------
constexpr uint32_t kStateGenerated = 0x80000000u;         // bit 31: generated column
constexpr uint32_t kStateCurrentTimestamp = 0x40000000u;  // bit 30: defaults to the current time
constexpr uint32_t kStateTypeMask = 0xFFFFu;              // bits 0-15: the column type code
constexpr uint32_t kTypeFloat = 4;
constexpr uint32_t kTypeTimestamp = 7;
constexpr uint32_t kTypeDatetime = 12;
constexpr uint32_t kTypeTimestamp2 = 17;
constexpr uint32_t kTypeDatetime2 = 18;
constexpr uint32_t kTypeJson = 245;

}  // namespace block_format
}  // namespace ostrel
