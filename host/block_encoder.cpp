// Field-stream and chunk-chain encoder for change events.
#include "block_encoder.h"

#include "block_format.h"

#include <algorithm>
#include <cstring>
#include <numeric>
#include <sstream>

namespace cdchost {

namespace bf = ostrel::block_format;

namespace {

void PutU32(std::string& out, uint32_t v) { out.append(reinterpret_cast<const char*>(&v), 4); }
void PutU64(std::string& out, uint64_t v) { out.append(reinterpret_cast<const char*>(&v), 8); }
void PutStr(std::string& out, const std::string& s) {
  PutU32(out, static_cast<uint32_t>(s.size()));
  out.append(s);
}

void PutU16At(char* p, uint16_t v) { memcpy(p, &v, 2); }
void PutU32At(char* p, uint32_t v) { memcpy(p, &v, 4); }
void PutI64At(char* p, int64_t v) { memcpy(p, &v, 8); }

}  // namespace

std::string EncodeFieldStream(const Event& e) {
  // One allocation: every field is its bytes and a prefix of at most 8.
  size_t size = 64 + e.db.size() + e.tb.size() + e.gtid.size() + e.sql.size() + e.xid.size();
  for (const std::string& name : e.col_names) size += name.size() + 12;
  for (const auto& row : e.rows) {
    for (const std::string& v : row) size += v.size() + 8;
  }
  for (const auto& row : e.olds) {
    for (const std::string& v : row) size += v.size() + 8;
  }
  std::string out;
  out.reserve(size);
  PutStr(out, e.db);
  PutStr(out, e.tb);
  PutStr(out, e.gtid);
  PutStr(out, e.sql);
  if (e.type == ostrel::EventType::T_GTIDSET && e.col_names.empty()) {
    return out;  // a GTID set without columns ends after its SQL text
  }
  if (ostrel::IsDdlType(e.type)) {
    PutStr(out, e.xid);
  } else {
    const uint32_t n = static_cast<uint32_t>(e.col_names.size());
    PutU32(out, n);
    for (const std::string& name : e.col_names) PutStr(out, name);
    for (uint32_t i = 0; i < n; ++i) PutU32(out, i < e.col_states.size() ? e.col_states[i] : 0);
    PutU32(out, static_cast<uint32_t>(e.rows.size()));
    const bool update = e.type == ostrel::EventType::T_UPDATE;
    for (size_t r = 0; r < e.rows.size(); ++r) {
      if (update) {
        for (const std::string& v : e.olds[r]) PutStr(out, v);
      }
      for (const std::string& v : e.rows[r]) PutStr(out, v);
    }
    PutStr(out, e.xid);
  }
  PutU64(out, e.original_commit_ts);
  PutU64(out, e.immediate_commit_ts);
  PutU32(out, e.original_server_version);
  PutU32(out, e.immediate_server_version);
  return out;
}

Block MakeSingleChunkBlock(uint8_t type, const std::string& stream, uint16_t id) {
  Block b;
  b.size_ = bf::kFirstPayloadOffset + stream.size();
  b.memory_.reset(new char[b.size_]);
  PutU16At(b.memory_.get() + bf::kChunkIdOffset, id);
  PutU32At(b.memory_.get() + bf::kChunkLenOffset, static_cast<uint32_t>(b.size_));
  b.memory_[bf::kTypeOffset] = static_cast<char>(type);
  if (!stream.empty()) memcpy(b.memory_.get() + bf::kFirstPayloadOffset, stream.data(), stream.size());
  b.first_offset_ = 0;
  b.chunk_count_ = 1;
  return b;
}

Block MakeBlockWithCuts(uint8_t type, const std::string& stream, const std::vector<size_t>& cuts, ChainOrder order,
                        uint64_t seed) {
  if (cuts.empty()) return MakeSingleChunkBlock(type, stream);

  // Payload ranges of the chunks, in chain order.
  std::vector<std::pair<size_t, size_t>> payloads;
  size_t start = 0;
  for (size_t c : cuts) {
    payloads.emplace_back(start, c - start);
    start = c;
  }
  payloads.emplace_back(start, stream.size() - start);
  const size_t k = payloads.size();

  std::vector<size_t> chunk_len(k);
  for (size_t i = 0; i < k; ++i) {
    const bool first = i == 0;
    const bool last = i + 1 == k;
    chunk_len[i] = (first ? bf::kFirstPayloadOffset : bf::kLaterPayloadOffset) + payloads[i].second +
                   (last ? 0 : bf::kLinkSize);
  }

  // Memory order of the chunks, with an 8-byte gap in front of each so links are never trivial.
  std::vector<size_t> placement(k);
  std::iota(placement.begin(), placement.end(), 0);
  std::mt19937_64 rng(seed);
  if (order == ChainOrder::kBackward) {
    std::reverse(placement.begin(), placement.end());
  } else if (order == ChainOrder::kShuffled) {
    std::shuffle(placement.begin(), placement.end(), rng);
  }
  std::vector<size_t> offset(k);
  size_t total = 0;
  for (size_t idx : placement) {
    total += 8 + (order == ChainOrder::kShuffled ? rng() % 16 : 0);
    offset[idx] = total;
    total += chunk_len[idx];
  }

  Block b;
  b.size_ = total;
  b.memory_.reset(new char[total]);
  memset(b.memory_.get(), 0xEE, total);
  for (size_t i = 0; i < k; ++i) {
    char* chunk = b.memory_.get() + offset[i];
    const bool first = i == 0;
    const bool last = i + 1 == k;
    PutU16At(chunk + bf::kChunkIdOffset, static_cast<uint16_t>(last ? 0x0001 : (bf::kChunkLinked | 0x0001)));
    PutU32At(chunk + bf::kChunkLenOffset, static_cast<uint32_t>(chunk_len[i]));
    size_t pos = bf::kLaterPayloadOffset;
    if (first) {
      chunk[bf::kTypeOffset] = static_cast<char>(type);
      pos = bf::kFirstPayloadOffset;
    }
    if (payloads[i].second != 0) memcpy(chunk + pos, stream.data() + payloads[i].first, payloads[i].second);
    if (!last) {
      int64_t delta = static_cast<int64_t>(offset[i + 1]) - static_cast<int64_t>(offset[i]);
      PutI64At(chunk + chunk_len[i] - bf::kLinkSize, delta);
    }
  }
  b.first_offset_ = offset[0];
  b.chunk_count_ = k;
  return b;
}

Block MakeBlock(uint8_t type, const std::string& stream, size_t payload_per_chunk, ChainOrder order, uint64_t seed) {
  std::vector<size_t> cuts;
  if (payload_per_chunk != 0) {
    for (size_t c = payload_per_chunk; c < stream.size(); c += payload_per_chunk) cuts.push_back(c);
  }
  return MakeBlockWithCuts(type, stream, cuts, order, seed);
}

namespace {

std::string RandomBytes(std::mt19937_64& rng, size_t max_len) {
  size_t len = max_len == 0 ? 0 : rng() % (max_len + 1);
  // Mostly short values, now and then a long one.
  if (max_len > 64 && rng() % 8 != 0) len %= 65;
  std::string s(len, '\0');
  for (char& c : s) c = static_cast<char>(rng() & 0xFF);
  return s;
}

}  // namespace

Event RandomEvent(std::mt19937_64& rng, const RandomEventOptions& opt) {
  static const ostrel::EventType kRowKinds[] = {ostrel::EventType::T_INSERT, ostrel::EventType::T_UPDATE,
                                                ostrel::EventType::T_DELETE, ostrel::EventType::T_GTIDSET};
  Event e;
  if (opt.allow_ddl && rng() % 5 == 0) {
    e.type = static_cast<ostrel::EventType>(rng() % 13);  // T_UNKNOWN .. T_DROP_SEQUENCE
  } else {
    e.type = kRowKinds[rng() % 4];
  }
  e.db = RandomBytes(rng, 16);
  e.tb = RandomBytes(rng, 16);
  e.gtid = RandomBytes(rng, 48);
  e.sql = RandomBytes(rng, opt.max_value_len);
  e.xid = RandomBytes(rng, 12);
  e.original_commit_ts = rng();
  e.immediate_commit_ts = rng();
  e.original_server_version = static_cast<uint32_t>(rng());
  e.immediate_server_version = static_cast<uint32_t>(rng());
  if (ostrel::IsDdlType(e.type)) return e;

  const uint32_t n = 1 + static_cast<uint32_t>(rng() % std::max<uint32_t>(opt.max_columns, 1));
  uint32_t r = static_cast<uint32_t>(rng() % (opt.max_rows + 1));
  if (r == 0 && !opt.allow_zero_rows) r = 1;
  for (uint32_t i = 0; i < n; ++i) {
    e.col_names.push_back(RandomBytes(rng, 12));
    e.col_states.push_back(static_cast<uint32_t>(rng()));
  }
  const bool update = e.type == ostrel::EventType::T_UPDATE;
  for (uint32_t i = 0; i < r; ++i) {
    std::vector<std::string> row;
    for (uint32_t c = 0; c < n; ++c) row.push_back(RandomBytes(rng, opt.max_value_len));
    e.rows.push_back(row);
    if (update) {
      std::vector<std::string> old;
      for (uint32_t c = 0; c < n; ++c) old.push_back(RandomBytes(rng, opt.max_value_len));
      e.olds.push_back(old);
    }
  }
  return e;
}

std::vector<size_t> RandomCuts(std::mt19937_64& rng, size_t stream_size, size_t max_cuts) {
  std::vector<size_t> cuts;
  if (stream_size < 2 || max_cuts == 0) return cuts;
  size_t count = rng() % (max_cuts + 1);
  for (size_t i = 0; i < count; ++i) cuts.push_back(1 + rng() % (stream_size - 1));
  std::sort(cuts.begin(), cuts.end());
  cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
  return cuts;
}

std::string ToString(const ostrel::BufStr& s) {
  std::string out;
  for (size_t i = 0; i < s.used_num_; ++i) out.append(s.elems_[i]->str_, s.elems_[i]->len_);
  return out;
}

namespace {

bool SameRows(const std::vector<std::vector<std::string>>& want, const ostrel::RowStrList& got, const char* what,
              std::ostringstream& why) {
  if (got.used_num_ != want.size()) {
    why << what << ": " << got.used_num_ << " rows, want " << want.size();
    return false;
  }
  for (size_t r = 0; r < want.size(); ++r) {
    const ostrel::NameStrList* row = got.elems_[r];
    if (row->used_num_ != want[r].size()) {
      why << what << " row " << r << ": " << row->used_num_ << " values, want " << want[r].size();
      return false;
    }
    for (size_t c = 0; c < want[r].size(); ++c) {
      if (ToString(*row->elems_[c]) != want[r][c]) {
        why << what << " row " << r << " column " << c << " differs";
        return false;
      }
    }
  }
  return true;
}

}  // namespace

bool SameEvent(const Event& e, const ostrel::SqlEvent& got, std::string* why) {
  std::ostringstream w;
  bool ok = true;
  auto check_str = [&](const char* name, const ostrel::BufStr& s, const std::string& want) {
    if (ok && ToString(s) != want) {
      w << name << " differs";
      ok = false;
    }
  };
  if (got.type_ != e.type) {
    w << "type " << static_cast<int>(got.type_) << ", want " << static_cast<int>(e.type);
    ok = false;
  }
  check_str("db_name_", got.db_name_, e.db);
  check_str("tb_name_", got.tb_name_, e.tb);
  check_str("gtid_", got.gtid_, e.gtid);
  check_str("sql_", got.sql_, e.sql);
  check_str("xid_", got.xid_, e.xid);
  if (ok && (got.original_commit_ts_ != e.original_commit_ts || got.immediate_commit_ts_ != e.immediate_commit_ts ||
             got.original_server_version_ != e.original_server_version ||
             got.immediate_server_version_ != e.immediate_server_version)) {
    w << "timestamps or server versions differ";
    ok = false;
  }
  if (ok && !ostrel::IsDdlType(e.type)) {
    if (got.col_names_.used_num_ != e.col_names.size() || got.col_states_.used_num_ != e.col_names.size()) {
      w << "column count " << got.col_names_.used_num_ << ", want " << e.col_names.size();
      ok = false;
    }
    for (size_t i = 0; ok && i < e.col_names.size(); ++i) {
      if (ToString(*got.col_names_.elems_[i]) != e.col_names[i]) {
        w << "column name " << i << " differs";
        ok = false;
      } else if (got.col_states_.elems_[i] != e.col_states[i]) {
        w << "column state " << i << " differs";
        ok = false;
      }
    }
    if (ok) ok = SameRows(e.rows, got.datas_, "datas_", w);
    if (ok && e.type == ostrel::EventType::T_UPDATE) ok = SameRows(e.olds, got.olds_, "olds_", w);
    if (ok && e.type != ostrel::EventType::T_UPDATE && got.olds_.used_num_ != 0) {
      w << "olds_ has rows for a kind without old images";
      ok = false;
    }
  }
  if (ok && ostrel::IsDdlType(e.type) && got.col_names_.used_num_ != 0) {
    w << "a DDL event has columns";
    ok = false;
  }
  if (!ok && why != nullptr) *why = w.str();
  return ok;
}

}  // namespace cdchost
