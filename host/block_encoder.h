// Host-side event-block encoder: the inverse of the plug-in's decoder, used by tests, the replay tool,
// benchmarks and fuzzers. Turns a change event into its field stream, and a field stream into a chunk
// chain with chunk sizes, cut points and memory order of the caller's choice.
#pragma once

#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "block_util.h"
#include "json_event_type.h"

namespace cdchost {

// A change event as plain values. For T_UPDATE, rows holds the new images and olds the old images
// (same length); the stream carries them as pairs, old image first.
struct Event {
  ostrel::EventType type = ostrel::EventType::T_INSERT;
  std::string db, tb, gtid, sql, xid;
  std::vector<std::string> col_names;
  std::vector<uint32_t> col_states;
  std::vector<std::vector<std::string>> rows;
  std::vector<std::vector<std::string>> olds;
  uint64_t original_commit_ts = 0;
  uint64_t immediate_commit_ts = 0;
  uint32_t original_server_version = 0;
  uint32_t immediate_server_version = 0;
};

// The field stream of e (without the type byte). Row layout for every kind that is not DDL; a GTID set
// without columns ends after field 3 (its SQL text), since a row layout needs at least one column.
std::string EncodeFieldStream(const Event& e);

// Where the chunks of a chain lie in memory relative to each other.
enum class ChainOrder {
  kForward,   // each next chunk after the current one
  kBackward,  // each next chunk before the current one (negative link)
  kShuffled,  // random placement, with gaps
};

// An event block in memory it owns. first() is what the host hands the plug-in.
class Block {
 public:
  const char* first() const { return memory_.get() + first_offset_; }
  char* first_mut() { return memory_.get() + first_offset_; }
  size_t size() const { return size_; }
  size_t chunk_count() const { return chunk_count_; }

  std::unique_ptr<char[]> memory_;
  size_t size_ = 0;
  size_t first_offset_ = 0;
  size_t chunk_count_ = 0;
};

// One chunk carrying the whole stream.
Block MakeSingleChunkBlock(uint8_t type, const std::string& stream, uint16_t id = 1);

// A chain whose chunk payloads end at the given stream offsets (ascending, each in (0, size)); no
// cuts gives a single chunk. seed only matters for kShuffled.
Block MakeBlockWithCuts(uint8_t type, const std::string& stream, const std::vector<size_t>& cuts,
                        ChainOrder order = ChainOrder::kForward, uint64_t seed = 0);

// A chain of chunks holding at most payload_per_chunk stream bytes each (0: a single chunk).
Block MakeBlock(uint8_t type, const std::string& stream, size_t payload_per_chunk,
                ChainOrder order = ChainOrder::kForward, uint64_t seed = 0);

inline Block EncodeEvent(const Event& e, size_t payload_per_chunk = 0, ChainOrder order = ChainOrder::kForward) {
  return MakeBlock(static_cast<uint8_t>(e.type), EncodeFieldStream(e), payload_per_chunk, order);
}

// Shapes for random events.
struct RandomEventOptions {
  uint32_t max_columns = 16;
  uint32_t max_rows = 4;
  size_t max_value_len = 64;
  bool allow_ddl = true;
  bool allow_zero_rows = true;
};

Event RandomEvent(std::mt19937_64& rng, const RandomEventOptions& opt = RandomEventOptions());

// Random ascending cut offsets in (0, stream_size), at most max_cuts of them.
std::vector<size_t> RandomCuts(std::mt19937_64& rng, size_t stream_size, size_t max_cuts);

// Value of a decoded string.
std::string ToString(const ostrel::BufStr& s);

// True when the decoded event holds exactly e's values; otherwise *why says the first difference.
bool SameEvent(const Event& e, const ostrel::SqlEvent& got, std::string* why);

}  // namespace cdchost
