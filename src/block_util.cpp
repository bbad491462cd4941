// Record model, streaming field decoder, chunk framing and parallel decoding of event blocks.
//
// The decoder trusts the host's blocks: broken invariants are fatal assertions. A build without
// assertions drops what it cannot place instead of writing or reading out of bounds.
#include "block_util.h"

#include "block_format.h"

#include <unistd.h>

#include <cassert>
#include <cstring>
#include <exception>
#include <new>
#include <type_traits>

namespace ostrel {

namespace bf = block_format;
static_assert(CHUNK_ADDR == bf::kLinkSize, "the link width is written down twice");

// ---------------------------------------------------------------------------------------------------
// StrWithLen

void StrWithLen::InitStr(const std::string& s) {
  str_ = s.c_str();
  len_ = static_cast<uint32_t>(s.length());
}

bool StrWithLen::Match(const char* s, size_t n) {
  if (n != len_) return false;
  if (n == 0) return true;
  return strncmp(str_, s, n) == 0;
}

bool StrWithLen::Match(const std::string& s) { return Match(s.c_str(), s.length()); }

uint32_t StrWithLen::FindStr(const char* s) { return FindStr(s, static_cast<uint32_t>(strlen(s))); }

uint32_t StrWithLen::FindStr(const char* s, uint32_t n) {
  if (n == 0 || n > len_) return str_npos;
  if (n == len_) return strncmp(str_, s, n) == 0 ? 0 : str_npos;
  for (uint32_t i = 0; i < len_; ++i) {
    if (str_[i] != s[0]) continue;
    if (len_ - i < n) return str_npos;
    if (strncmp(str_ + i, s, n) == 0) return i;
  }
  return str_npos;
}

// ---------------------------------------------------------------------------------------------------
// BufStr

BufStr::~BufStr() {
  for (StrWithLen* p : elems_) delete p;
}

void BufStr::AppendNew(StrWithLen& s) {
  StrWithLen* piece = new (std::nothrow) StrWithLen(s);
  if (piece == nullptr) {
    cdc_assert(false);
    return;  // a host routine that returns anyway: the string stays as it was
  }
  elems_.push_back(piece);
  ++used_num_;
}

void BufStr::GetStr(DynamicStr* out) {
  for (size_t i = 0; i < used_num_; ++i) out->appendMem(elems_[i]->str_, elems_[i]->len_);
}

void BufStr::Set(BufStr& other) {
  if (&other == this) return;
  Reset();
  for (size_t i = 0; i < other.used_num_; ++i) Append(*other.elems_[i]);
}

bool BufStr::Empty() {
  for (size_t i = 0; i < used_num_; ++i) {
    if (elems_[i]->len_ != 0) return false;
  }
  return true;
}

// ---------------------------------------------------------------------------------------------------
// NameStrList

NameStrList::~NameStrList() {
  for (BufStr* p : elems_) delete p;
}

void NameStrList::Grow(size_t num) {
  while (elems_.size() < num) {
    BufStr* elem = new (std::nothrow) BufStr();
    if (elem == nullptr) {
      assert(0);
      break;
    }
    elems_.push_back(elem);
  }
  used_num_ = num <= elems_.size() ? num : elems_.size();
}

BufStrPtr NameStrList::GetElemByPos(size_t pos) {
  assert(pos < used_num_);
  if (pos >= used_num_) return nullptr;
  return elems_[pos];
}

void NameStrList::UpdateElemByPos(size_t pos, StrWithLen& s) {
  assert(pos < used_num_);
  if (pos >= used_num_) return;
  BufStr* elem = new (std::nothrow) BufStr();
  if (elem == nullptr) {
    assert(0);
    return;
  }
  elem->Append(s);
  BufStr* old = elems_[pos];
  elems_[pos] = elem;
  delete old;
}

void NameStrList::Reset() {
  for (BufStr* p : elems_) p->Reset();
  used_num_ = 0;
}

void NameStrList::Append(size_t pos, BufStr& other) {
  assert(pos < elems_.size());
  if (pos >= elems_.size()) return;
  elems_[pos]->Set(other);
}

// ---------------------------------------------------------------------------------------------------
// ConstIntList

void ConstIntList::Grow(size_t num) {
  if (elems_.size() < num) elems_.resize(num, 0);
  used_num_ = num;
}

void ConstIntList::Append(size_t pos, uint32_t v) {
  assert(pos < used_num_);
  if (pos >= used_num_) return;
  elems_[pos] = v;
}

uint32_t ConstIntList::GetElemByPos(size_t pos) {
  assert(pos < used_num_);
  if (pos >= used_num_) return 0;
  return elems_[pos];
}

bool ConstIntList::IsGenerateColumn(size_t pos) { return (GetElemByPos(pos) & bf::kStateGenerated) != 0; }

bool ConstIntList::IsFloatType(size_t pos) { return (GetElemByPos(pos) & bf::kStateTypeMask) == bf::kTypeFloat; }

bool ConstIntList::IsJsonType(size_t pos) { return (GetElemByPos(pos) & bf::kStateTypeMask) == bf::kTypeJson; }

bool ConstIntList::IsCurrentTimestampColumn(size_t pos) {
  uint32_t v = GetElemByPos(pos);
  uint32_t code = v & bf::kStateTypeMask;
  bool ts_type = code == bf::kTypeTimestamp || code == bf::kTypeDatetime || code == bf::kTypeTimestamp2 ||
                 code == bf::kTypeDatetime2;
  return ts_type && (v & bf::kStateCurrentTimestamp) != 0;
}

// ---------------------------------------------------------------------------------------------------
// RowStrList

RowStrList::~RowStrList() {
  for (NameStrList* p : elems_) delete p;
}

void RowStrList::Reserve(size_t num, size_t col_num) {
  if (num <= elems_.size()) {
    used_num_ = num;
    for (size_t i = 0; i < num; ++i) elems_[i]->Reserve(col_num);
    return;
  }
  for (NameStrList* p : elems_) p->Reserve(col_num);
  while (elems_.size() < num) {
    NameStrList* row = new (std::nothrow) NameStrList();
    if (row == nullptr) {
      assert(0);
      break;
    }
    row->Reserve(col_num);
    elems_.push_back(row);
  }
  used_num_ = elems_.size();
}

NameStrListPtr RowStrList::GetElemByPos(size_t pos) {
  assert(pos < used_num_);
  if (pos >= used_num_) return nullptr;
  return elems_[pos];
}

void RowStrList::Reset() {
  for (NameStrList* p : elems_) p->Reset();
  used_num_ = 0;
}

// ---------------------------------------------------------------------------------------------------
// SqlEvent

SqlEvent::SqlEvent()
    : type_(EventType::T_UNKNOWN),
      original_commit_ts_(0),
      immediate_commit_ts_(0),
      original_server_version_(0),
      immediate_server_version_(0),
      ev_len_(0) {}

void SqlEvent::Reset() {
  db_name_.Reset();
  tb_name_.Reset();
  gtid_.Reset();
  sql_.Reset();
  col_names_.Reset();
  col_states_.Reset();
  xid_.Reset();
  original_commit_ts_ = 0;
  immediate_commit_ts_ = 0;
  original_server_version_ = 0;
  immediate_server_version_ = 0;
  ev_len_ = 0;
  datas_.Reset();
  olds_.Reset();
}

// ---------------------------------------------------------------------------------------------------
// ParseEvent

void ParseEvent::BufWithLen::Append(const char* p, size_t n) {
  size_t room = sizeof(buf_) - len_;
  if (n > room) n = room;  // callers never exceed 8; never write past the buffer if they did
  memcpy(buf_ + len_, p, n);
  len_ = static_cast<uint8_t>(len_ + n);
}

void ParseEvent::BufWithLen::GetInt4(uint32_t& v) {
  assert(len_ == 4);
  uint32_t x = 0;
  memcpy(&x, buf_, len_ < 4 ? len_ : 4);
  v = x;  // little-endian stream on a little-endian host
}

void ParseEvent::BufWithLen::GetInt8(uint64_t& v) {
  assert(len_ == 8);
  uint64_t x = 0;
  memcpy(&x, buf_, len_ < 8 ? len_ : 8);
  v = x;
}

ParseEvent::ParseEvent()
    : sql_ev_(nullptr),
      sql_pos_(0),
      block_pos_(0),
      left_len_(0),
      ev_type_(EvType::E_Unknown),
      str_len_(0),
      int8_len_(0),
      req_len_(0),
      state_(State::S_Init),
      col_num_(0),
      row_num_(0),
      row_step1_(0),
      row_step2_(0),
      row_step3_(0) {}

void ParseEvent::Init(SqlEvent* sql_ev) {
  sql_ev_ = sql_ev;
  rpos_.Reset();
  lbuf_.Reset();
  sql_pos_ = 0;
  state_ = State::S_Init;
}

// ---------------------------------------------------------------------------------------------------
// The grammar of the field stream, written once: which part of its event a field index belongs to.
// The state machine (setFieldType, storeField) and the whole-field fast path (parseWholeFields) both
// classify an index with these two functions, so they cannot disagree on the layout.

namespace {

enum class FieldPart : uint8_t {
  kDb, kTable, kGtid, kSql,       // every event
  kColumnCount, kName, kState,    // row events
  kRowCount, kValue,              // row events
  kXid, kOriginalTs, kImmediateTs, kOriginalVersion, kImmediateVersion,
  kBeyond,                        // past the layout: read in 4-byte steps and ignored
};

// Field p of a DDL event.
constexpr FieldPart kDdlParts[] = {
    FieldPart::kDb,  FieldPart::kTable,      FieldPart::kGtid,        FieldPart::kSql,
    FieldPart::kXid, FieldPart::kOriginalTs, FieldPart::kImmediateTs, FieldPart::kOriginalVersion,
    FieldPart::kImmediateVersion,
};
static_assert(kDdlParts[bf::kDdlXidIndex] == FieldPart::kXid &&
                  kDdlParts[bf::kDdlImmediateVersionIndex] == FieldPart::kImmediateVersion,
              "DDL indexes as in block_format.h");

inline FieldPart DdlFieldPart(uint32_t p) {
  return p <= bf::kDdlImmediateVersionIndex ? kDdlParts[p] : FieldPart::kBeyond;
}

// Field p of a row event whose runs end at last_name, last_state and last_value (row_step1_..3_).
// The tests run in stream order with unsigned comparisons, so a run is consulted only once the count
// that places it has arrived.
inline FieldPart RowFieldPart(uint32_t p, uint32_t last_name, uint32_t last_state, uint32_t last_value) {
  if (p <= bf::kSqlIndex) return static_cast<FieldPart>(p);
  if (p == bf::kColumnCountIndex) return FieldPart::kColumnCount;
  if (p <= last_name) return FieldPart::kName;
  if (p <= last_state) return FieldPart::kState;
  if (p == last_state + 1) return FieldPart::kRowCount;
  if (p <= last_value) return FieldPart::kValue;
  switch (p - last_value) {
    case bf::kXidAfterValues: return FieldPart::kXid;
    case bf::kOriginalTsAfterValues: return FieldPart::kOriginalTs;
    case bf::kImmediateTsAfterValues: return FieldPart::kImmediateTs;
    case bf::kOriginalVersionAfterValues: return FieldPart::kOriginalVersion;
    case bf::kImmediateVersionAfterValues: return FieldPart::kImmediateVersion;
    default: return FieldPart::kBeyond;
  }
}

// Wire type of each part, in the order of FieldPart; kBeyond keeps the type of the field before it
// (the last field of both layouts is a 4-byte integer).
constexpr EvType kPartWireType[] = {
    EvType::E_Str,  EvType::E_Str,  EvType::E_Str,  EvType::E_Str,   // kDb .. kSql
    EvType::E_Int4, EvType::E_Str,  EvType::E_Int4,                  // kColumnCount, kName, kState
    EvType::E_Int4, EvType::E_Str,                                   // kRowCount, kValue
    EvType::E_Str,  EvType::E_Int8, EvType::E_Int8, EvType::E_Int4, EvType::E_Int4,  // kXid .. kImmediateVersion
};
static_assert(sizeof(kPartWireType) / sizeof(kPartWireType[0]) == static_cast<size_t>(FieldPart::kBeyond),
              "one wire type per part");

inline EvType WireType(FieldPart part, EvType previous) {
  return part == FieldPart::kBeyond ? previous : kPartWireType[static_cast<size_t>(part)];
}

// Field p of the event that pe is decoding.
inline FieldPart PartOf(const ParseEvent& pe, uint32_t p, bool ddl) {
  return ddl ? DdlFieldPart(p) : RowFieldPart(p, pe.row_step1_, pe.row_step2_, pe.row_step3_);
}

// The row the next value belongs to: with two images per row, old and new images alternate.
inline NameStrList* CurrentImage(SqlEvent* ev, const ParseEvent::RowPos& rp) {
  if (rp.double_step_) return rp.is_data_ ? ev->datas_.GetElemByPos(rp.pos_ / 2) : ev->olds_.GetElemByPos(rp.pos_ / 2);
  return ev->datas_.GetElemByPos(rp.pos_);
}

// Column of value field p within image `image` of an event whose state words end at last_state.
inline uint32_t ValueColumn(uint32_t p, uint32_t last_state, uint32_t image, uint32_t cols) {
  return p - (last_state + 1) - image * cols - 1;
}

inline void NextImage(ParseEvent::RowPos& rp) {
  ++rp.pos_;
  if (rp.double_step_) rp.is_data_ = !rp.is_data_;
}

}  // namespace

void ParseEvent::getNeedParseType() { setFieldType(static_cast<uint32_t>(sql_pos_), IsDdlType(sql_ev_->type_)); }

inline void ParseEvent::setFieldType(uint32_t p, bool ddl) { ev_type_ = WireType(PartOf(*this, p, ddl), ev_type_); }

void ParseEvent::updateSqlEvent(bool partial) {
  storeField(static_cast<uint32_t>(sql_pos_), IsDdlType(sql_ev_->type_), partial);
}

// Field 4 of a row event: sizes the name and state lists and places the later field runs.
inline void ParseEvent::onColumnCount(uint32_t n) {
  assert(str_len_ != 0);
  sql_ev_->col_names_.Reserve(n);
  sql_ev_->col_states_.Reserve(n);
  col_num_ = n;
  row_step1_ = bf::LastNameIndex(n);
  row_step2_ = bf::LastStateIndex(n);
}

// The row count after the state words: sizes the row images and places the fields after them.
inline void ParseEvent::onRowCount(uint32_t r) {
  SqlEvent* ev = sql_ev_;
  row_num_ = r;
  ev->datas_.Reserve(r, col_num_);
  row_step3_ = bf::LastValueIndex(col_num_, r, false);
  if (ev->type_ == EventType::T_UPDATE) {
    ev->olds_.Reserve(r, col_num_);
    row_step3_ = bf::LastValueIndex(col_num_, r, true);
    rpos_.double_step_ = true;
  }
}

inline void ParseEvent::storeField(uint32_t p, bool ddl, bool partial) {
  SqlEvent* ev = sql_ev_;
  switch (PartOf(*this, p, ddl)) {
    case FieldPart::kDb: ev->db_name_.Append(str_); return;
    case FieldPart::kTable: ev->tb_name_.Append(str_); return;
    case FieldPart::kGtid: ev->gtid_.Append(str_); return;
    case FieldPart::kSql: ev->sql_.Append(str_); return;
    case FieldPart::kColumnCount: onColumnCount(str_len_); return;
    case FieldPart::kName: {
      BufStr* name = ev->col_names_.GetElemByPos(p - bf::kFirstNameIndex);
      if (name != nullptr) name->Append(str_);
      return;
    }
    case FieldPart::kState: ev->col_states_.Append(p - col_num_ - bf::kFirstNameIndex, str_len_); return;
    case FieldPart::kRowCount: onRowCount(str_len_); return;
    case FieldPart::kValue: {
      const uint32_t c = ValueColumn(p, row_step2_, rpos_.pos_, col_num_);
      NameStrList* row = CurrentImage(ev, rpos_);
      if (row != nullptr) {
        BufStr* value = row->GetElemByPos(c);
        if (value != nullptr) value->Append(str_);
      }
      // Only the final piece of an image's last value completes the image.
      if (c >= col_num_ - 1 && !partial) NextImage(rpos_);
      return;
    }
    case FieldPart::kXid: ev->xid_.Append(str_); return;
    case FieldPart::kOriginalTs: ev->original_commit_ts_ = int8_len_; return;
    case FieldPart::kImmediateTs: ev->immediate_commit_ts_ = int8_len_; return;
    case FieldPart::kOriginalVersion: ev->original_server_version_ = str_len_; return;
    case FieldPart::kImmediateVersion: ev->immediate_server_version_ = str_len_; return;
    case FieldPart::kBeyond: return;
  }
}

bool ParseEvent::parseSqlStr(const char* data) {
  if (left_len_ == 0) return true;
  str_.str_ = data + block_pos_;
  if (left_len_ < str_len_) {
    str_.len_ = left_len_;
    str_len_ -= left_len_;
    updateSqlEvent(true);
    consume(left_len_);
    return true;
  }
  str_.len_ = str_len_;
  updateSqlEvent(false);
  consume(str_len_);
  state_ = State::S_Init;
  str_len_ = 0;
  ++sql_pos_;
  return false;
}

static inline uint32_t ReadU32(const char* p) {
  uint32_t v;
  memcpy(&v, p, 4);
  return v;
}

static inline uint64_t ReadU64(const char* p) {
  uint64_t v;
  memcpy(&v, p, 8);
  return v;
}

// One field at pos (between fields, field index p, left bytes to the end of the piece) if it lies
// whole there: stored as the state machine would, and the three positions moved past it. False,
// with nothing changed but ev_type_, when it does not fit. Inlined, so the positions stay in
// registers.
__attribute__((always_inline)) inline bool ParseEvent::parseOneWholeField(const char* data, bool ddl, uint32_t& p,
                                                                         uint32_t& pos, uint32_t& left) {
  setFieldType(p, ddl);
  if (ev_type_ == EvType::E_Str) {
    if (left <= bf::kStrPrefixSize) return false;
    const uint32_t n = ReadU32(data + pos);
    if (left - bf::kStrPrefixSize < n) return false;
    req_len_ = bf::kStrPrefixSize;
    str_.str_ = data + pos + bf::kStrPrefixSize;
    str_.len_ = n;
    str_len_ = n;
    storeField(p, ddl, false);
    str_len_ = 0;
    pos += bf::kStrPrefixSize + n;
    left -= bf::kStrPrefixSize + n;
  } else if (ev_type_ == EvType::E_Int8) {
    if (left < bf::kInt8Size) return false;
    req_len_ = bf::kInt8Size;
    int8_len_ = ReadU64(data + pos);
    storeField(p, ddl, false);
    pos += bf::kInt8Size;
    left -= bf::kInt8Size;
  } else {
    if (left < bf::kInt4Size) return false;
    req_len_ = bf::kInt4Size;
    str_len_ = ReadU32(data + pos);
    storeField(p, ddl, false);
    pos += bf::kInt4Size;
    left -= bf::kInt4Size;
  }
  ++p;
  return true;
}

// Fields that lie whole inside the piece, between fields (S_Init): the common case, kept in locals.
// Leaves at the first field that does not fit, which the state machine in Parser then takes on with
// exactly the same results (a string of length 0 whose prefix ends the piece, for instance, is left
// to it, since it stores no piece there). The runs of a row event (header strings, column names,
// state words, row values) are taken in loops of their own; every other field goes through the
// same setFieldType/storeField steps as the state machine.
void ParseEvent::parseWholeFields(const char* data) {
  SqlEvent* const ev = sql_ev_;
  const bool ddl = IsDdlType(ev->type_);
  uint32_t pos = block_pos_;
  uint32_t left = left_len_;
  uint32_t p = static_cast<uint32_t>(sql_pos_);
  // The parser's scratch fields, kept in registers here and written back on the way out (and around
  // a field taken by the shared step): the last string taken, the width and the last words read.
  const char* s_str = nullptr;
  uint32_t s_len = 0;
  uint32_t req = req_len_;
  uint32_t slen = str_len_;
  uint64_t i8 = int8_len_;
  auto flush = [&]() __attribute__((always_inline)) {
    if (s_str != nullptr) {
      str_.str_ = s_str;
      str_.len_ = s_len;
      s_str = nullptr;
    }
    req_len_ = req;
    str_len_ = slen;
    int8_len_ = i8;
  };

  // The string field at pos into s_str/s_len, when its prefix and bytes lie whole in the piece.
  auto take_str = [&]() __attribute__((always_inline)) {
    if (left <= bf::kStrPrefixSize) return false;
    const uint32_t n = ReadU32(data + pos);
    if (left - bf::kStrPrefixSize < n) return false;
    s_str = data + pos + bf::kStrPrefixSize;
    s_len = n;
    pos += bf::kStrPrefixSize + n;
    left -= bf::kStrPrefixSize + n;
    req = bf::kStrPrefixSize;
    slen = 0;
    return true;
  };
  // Any one field, as the state machine stores it.
  auto one_field = [&]() __attribute__((always_inline)) {
    flush();
    const bool whole = parseOneWholeField(data, ddl, p, pos, left);
    req = req_len_;
    slen = str_len_;
    i8 = int8_len_;
    return whole;
  };

  // The event's layout, kept in locals: the stores into the event's strings could otherwise alias
  // these members and force a reload after every field. Refreshed wherever they change.
  uint32_t cols = col_num_;
  uint32_t step1 = row_step1_;
  uint32_t step2 = row_step2_;
  uint32_t step3 = row_step3_;
  auto reload = [&]() __attribute__((always_inline)) {
    cols = col_num_;
    step1 = row_step1_;
    step2 = row_step2_;
    step3 = row_step3_;
  };
  static constexpr BufStr SqlEvent::*kHead[4] = {&SqlEvent::db_name_, &SqlEvent::tb_name_, &SqlEvent::gtid_,
                                                 &SqlEvent::sql_};

  // One fixed-width word of the trailer (8 bytes for a commit time, 4 for a server version) into out,
  // when it lies whole in the piece.
  auto take_word = [&](auto& out) __attribute__((always_inline)) {
    if (sizeof(out) == 8) {
      if (left < bf::kInt8Size) return false;
      req = bf::kInt8Size;
      i8 = ReadU64(data + pos);
      out = static_cast<std::remove_reference_t<decltype(out)>>(i8);
    } else {
      if (left < bf::kInt4Size) return false;
      req = bf::kInt4Size;
      slen = ReadU32(data + pos);
      out = static_cast<std::remove_reference_t<decltype(out)>>(slen);
    }
    pos += sizeof(out);
    left -= sizeof(out);
    ++p;
    return true;
  };

  // The parts in the order of the stream, entered where the classifier places field p; each run goes
  // to the last index of its part and falls through to the next part (a DDL event jumps from its SQL
  // text to its XID). The loop comes back after a row image, or after a field taken by the shared step.
  for (;;) {
    bool whole = false;
    switch (ddl ? DdlFieldPart(p) : RowFieldPart(p, step1, step2, step3)) {
      case FieldPart::kDb:
      case FieldPart::kTable:
      case FieldPart::kGtid:
      case FieldPart::kSql:
        for (; p <= bf::kSqlIndex; ++p) {
          if (!take_str()) break;
          (ev->*kHead[p]).AppendPiece(s_str, s_len);
        }
        if (p <= bf::kSqlIndex) break;
        if (ddl) goto ddl_xid;  // a DDL event has its XID where a row event has its column count
        [[fallthrough]];
      case FieldPart::kColumnCount:
        if (left < bf::kInt4Size) break;
        req = bf::kInt4Size;
        slen = ReadU32(data + pos);
        str_len_ = slen;  // read by the assertion on the column count
        onColumnCount(slen);
        reload();
        pos += bf::kInt4Size;
        left -= bf::kInt4Size;
        ++p;
        [[fallthrough]];
      case FieldPart::kName: {
        // The list's array and count, read once: storing a piece cannot change them.
        BufStr* const* names = ev->col_names_.elems_.data();
        const size_t names_used = ev->col_names_.used_num_;
        for (; p <= step1; ++p) {
          if (!take_str()) break;
          const size_t i = p - bf::kFirstNameIndex;
          assert(i < names_used);
          if (i < names_used) names[i]->AppendPiece(s_str, s_len);
        }
        if (p <= step1) break;
      }
        [[fallthrough]];
      case FieldPart::kState:
        for (; p <= step2; ++p) {
          if (left < bf::kInt4Size) break;
          req = bf::kInt4Size;
          slen = ReadU32(data + pos);
          ev->col_states_.Append(p - cols - bf::kFirstNameIndex, slen);
          pos += bf::kInt4Size;
          left -= bf::kInt4Size;
        }
        if (p <= step2) break;
        [[fallthrough]];
      case FieldPart::kRowCount:
        if (left < bf::kInt4Size) break;
        req = bf::kInt4Size;
        slen = ReadU32(data + pos);
        str_len_ = slen;
        onRowCount(slen);
        reload();
        pos += bf::kInt4Size;
        left -= bf::kInt4Size;
        ++p;
        if (p > step3) {  // no rows: the trailer follows
          whole = true;
          break;
        }
        [[fallthrough]];
      case FieldPart::kValue: {  // one row image
        const uint32_t first = ValueColumn(p, step2, rpos_.pos_, cols);
        if (first >= cols) {  // out of step with the images: the shared step decides
          whole = one_field();
          reload();
          break;
        }
        NameStrList* row = CurrentImage(ev, rpos_);
        BufStr* const* values = row != nullptr ? row->elems_.data() : nullptr;
        const size_t values_used = row != nullptr ? row->used_num_ : 0;
        uint32_t c = first;
        for (; c < cols; ++c) {
          if (!take_str()) break;
          assert(row == nullptr || c < values_used);
          if (c < values_used) values[c]->AppendPiece(s_str, s_len);
          ++p;
        }
        if (c < cols) break;
        NextImage(rpos_);
        whole = true;
        break;
      }
      case FieldPart::kXid:
      ddl_xid:
        if (!take_str()) break;
        ev->xid_.AppendPiece(s_str, s_len);
        ++p;
        [[fallthrough]];
      case FieldPart::kOriginalTs:
        if (!take_word(ev->original_commit_ts_)) break;
        [[fallthrough]];
      case FieldPart::kImmediateTs:
        if (!take_word(ev->immediate_commit_ts_)) break;
        [[fallthrough]];
      case FieldPart::kOriginalVersion:
        if (!take_word(ev->original_server_version_)) break;
        [[fallthrough]];
      case FieldPart::kImmediateVersion:
        if (!take_word(ev->immediate_server_version_)) break;
        whole = true;
        break;
      case FieldPart::kBeyond:
        whole = one_field();
        reload();
        break;
    }
    if (!whole) break;
  }
  flush();  // ev_type_ is set by the caller's next step, which always follows
  sql_pos_ = p;
  block_pos_ = pos;
  left_len_ = left;
}

void ParseEvent::Parser(const char* data, uint32_t len) {
  left_len_ = len;
  block_pos_ = 0;
  for (;;) {
    if (state_ == State::S_Init) parseWholeFields(data);
    switch (state_) {
      case State::S_Str:
        if (parseSqlStr(data)) return;
        break;

      case State::S_Init: {
        getNeedParseType();
        uint32_t width = ev_type_ == EvType::E_Int8 ? bf::kInt8Size : bf::kInt4Size;  // a string's prefix is 4
        state_ = State::S_Len;
        req_len_ = width;
        if (left_len_ < width) {
          lbuf_.Reset();
          lbuf_.Append(data + block_pos_, left_len_);
          return;
        }
        if (ev_type_ == EvType::E_Str) {
          str_len_ = ReadU32(data + block_pos_);
          consume(bf::kStrPrefixSize);
          state_ = State::S_Str;
          if (parseSqlStr(data)) return;
        } else {
          if (ev_type_ == EvType::E_Int8) {
            int8_len_ = ReadU64(data + block_pos_);
          } else {
            str_len_ = ReadU32(data + block_pos_);
          }
          updateSqlEvent(false);
          state_ = State::S_Init;
          consume(width);
          ++sql_pos_;
        }
        break;
      }

      case State::S_Len: {
        if (lbuf_.len_ > req_len_) {
          assert(0);
          lbuf_.Reset();  // a build without assertions restarts the width rather than overrun
        }
        uint32_t need = req_len_ - lbuf_.len_;
        if (need > left_len_) {
          lbuf_.Append(data + block_pos_, left_len_);
          return;
        }
        lbuf_.Append(data + block_pos_, need);
        if (ev_type_ == EvType::E_Int8) {
          lbuf_.GetInt8(int8_len_);
        } else {
          lbuf_.GetInt4(str_len_);
        }
        consume(need);
        if (ev_type_ == EvType::E_Str) {
          state_ = State::S_Str;
          if (parseSqlStr(data)) return;
        } else {
          updateSqlEvent(false);
          state_ = State::S_Init;
          ++sql_pos_;
        }
        break;
      }
    }
  }
}

// ---------------------------------------------------------------------------------------------------
// Block framing

static inline void ReadChunkHeader(const char* chunk, uint16_t& id, uint32_t& len) {
  memcpy(&id, chunk + bf::kChunkIdOffset, sizeof(id));
  memcpy(&len, chunk + bf::kChunkLenOffset, sizeof(len));
}

void GetEventFromBlock(ParseEvent* parse_ev, const char* block, SqlEvent* sql_ev) {
  sql_ev->Reset();
  parse_ev->Init(sql_ev);

  uint16_t id;
  uint32_t len;
  ReadChunkHeader(block, id, len);
  assert(id != 0);
  assert(len != 0);
  assert(len > 7);
  sql_ev->type_ = static_cast<EventType>(static_cast<int32_t>(static_cast<uint8_t>(block[bf::kTypeOffset])));
  if (len <= bf::kFirstPayloadOffset) return;  // only reachable without assertions: no payload to read

  if ((id & bf::kChunkLinked) == 0) {
    parse_ev->Parser(block + bf::kFirstPayloadOffset, len - bf::kFirstPayloadOffset);
    sql_ev->ev_len_ = len - bf::kChunkHeaderSize;  // the payload and the type byte
    return;
  }

  // The event length counts the type byte and every payload: a linked chunk contributes its length
  // less the header and the link (plus the type byte for the first), the last its length less the header.
  size_t total = 0;
  const char* chunk = block;
  bool first = true;
  while ((id & bf::kChunkLinked) != 0) {
    const size_t min_len = first ? bf::kMinLinkedFirstChunk : bf::kMinLinkedLaterChunk;
    assert(len >= min_len);
    if (len < min_len) {
      sql_ev->ev_len_ = total;
      return;
    }
    if (first) {
      parse_ev->Parser(chunk + bf::kFirstPayloadOffset, len - bf::kMinLinkedFirstChunk);
    } else {
      parse_ev->Parser(chunk + bf::kLaterPayloadOffset, len - bf::kMinLinkedLaterChunk);
    }
    total += len - bf::kMinLinkedLaterChunk;
    first = false;

    int64_t p_delta;
    memcpy(&p_delta, chunk + len - bf::kLinkSize, sizeof(p_delta));
    assert(p_delta != 0);
    if (p_delta == 0) {
      sql_ev->ev_len_ = total;
      return;
    }
    chunk += p_delta;
    ReadChunkHeader(chunk, id, len);
    assert(id != 0);
    assert(len != 0);
  }
  assert(len >= bf::kMinLastLaterChunk);
  if (len >= bf::kMinLastLaterChunk) {
    parse_ev->Parser(chunk + bf::kLaterPayloadOffset, len - bf::kLaterPayloadOffset);
    total += len - bf::kLaterPayloadOffset;
  }
  sql_ev->ev_len_ = total;
}

bool GetGtidSetEventFromBlock(ParseEvent* parse_ev, const char* block, SqlEvent* sql_ev) {
  if (static_cast<uint8_t>(block[bf::kTypeOffset]) != static_cast<uint8_t>(EventType::T_GTIDSET)) return true;
  GetEventFromBlock(parse_ev, block, sql_ev);
  return false;
}

// ---------------------------------------------------------------------------------------------------
// Slots

MemSqlEv::MemSqlEv() : sql_ev_(new (std::nothrow) SqlEvent()), state_(false) {
  if (sql_ev_ == nullptr) {
    assert(0);
    abort();  // a slot without a record is unusable, also without assertions
  }
}

MemSqlEv::~MemSqlEv() { delete sql_ev_; }

MemSqlBuf::~MemSqlBuf() {
  for (MemSqlEv* p : elems_) delete p;
}

bool MemSqlBuf::Reserve(size_t num) {
  while (elems_.size() < num) {
    MemSqlEv* slot = new (std::nothrow) MemSqlEv();
    if (slot == nullptr) {
      setErr("mem sql buf add elem alloc failed");
      return true;
    }
    elems_.push_back(slot);
  }
  used_num_ = num;
  for (size_t i = 0; i < num; ++i) elems_[i]->UpdateState(false);
  return false;
}

MemSqlEv* MemSqlBuf::GetElemByPos(size_t pos) {
  assert(pos < used_num_);
  if (pos >= used_num_) return nullptr;
  return elems_[pos];
}

// ---------------------------------------------------------------------------------------------------
// Workers

static const useconds_t kWorkerPollUs = 20000;

ParserEvWork::ParserEvWork(int id)
    : id_(id),
      wrk_thd_(nullptr),
      is_quit_(false),
      stop_parse_(false),
      ev_list_(nullptr),
      parallel_parse_ev_(nullptr),
      parse_ev_(nullptr),
      bpos_(-1),
      epos_(0) {}

ParserEvWork::~ParserEvWork() {
  is_quit_.store(true);
  if (wrk_thd_ != nullptr) {
    if (wrk_thd_->joinable()) wrk_thd_->join();
    delete wrk_thd_;
    wrk_thd_ = nullptr;
  }
  delete parse_ev_;
  parse_ev_ = nullptr;
}

bool ParserEvWork::init(ParallelParseEvent* parallel_parse_ev) {
  parallel_parse_ev_ = parallel_parse_ev;
  parse_ev_ = new (std::nothrow) ParseEvent();
  if (parse_ev_ == nullptr) return true;
  // Starting a thread reports failure by throwing; nothing may throw out of the decoder.
  try {
    wrk_thd_ = new (std::nothrow) std::thread(&ParserEvWork::run, this);
  } catch (const std::exception&) {
    wrk_thd_ = nullptr;
  }
  return wrk_thd_ == nullptr;
}

void ParserEvWork::run() {
  while (!is_quit_.load()) {
    if (bpos_.load(std::memory_order_acquire) == -1) {
      usleep(kWorkerPollUs);
      continue;
    }
    work();
  }
}

void ParserEvWork::work_step(const std::list<char*>* ev_list, int bpos, int epos) {
  // The previous assignment (an empty range, or one abandoned after StopParse) may not have been
  // picked up yet; overwriting it would race with the worker's read of the range fields.
  while (bpos_.load(std::memory_order_acquire) != -1) usleep(50);
  stop_parse_.store(false);
  ev_list_ = ev_list;
  epos_ = epos;
  bpos_.store(bpos, std::memory_order_release);
}

void ParserEvWork::work() {
  const int32_t bpos = bpos_.load(std::memory_order_acquire);
  const int32_t epos = epos_;
  const std::list<char*>* ev_list = ev_list_;
  if (stop_parse_.load() || epos <= bpos) {
    bpos_.store(-1, std::memory_order_release);
    return;
  }
  int32_t pos = 0;
  auto it = ev_list->begin();
  while (pos < bpos && it != ev_list->end()) {
    ++it;
    ++pos;
  }
  for (; it != ev_list->end(); ++it, ++pos) {
    if (stop_parse_.load()) break;
    if (pos < epos - 1) {
      parseEv(*it, pos);
      continue;
    }
    // Idle before the last slot is published: once the consumer sees it, the host may assign the
    // next range at once, and neither this worker nor its reads of the list may get in the way.
    MemSqlEv* slot = parallel_parse_ev_->sql_buf_->GetElemByPos(static_cast<size_t>(pos));
    GetEventFromBlock(parse_ev_, *it, slot->sql_ev_);
    bpos_.store(-1, std::memory_order_release);
    slot->UpdateState(true);
    return;
  }
  bpos_.store(-1, std::memory_order_release);
}

void ParserEvWork::parseEv(const char* ev, const int& pos) {
  MemSqlEv* slot = parallel_parse_ev_->sql_buf_->GetElemByPos(static_cast<size_t>(pos));
  GetEventFromBlock(parse_ev_, ev, slot->sql_ev_);
  slot->UpdateState(true);
}

// ---------------------------------------------------------------------------------------------------
// ParallelParseEvent

ParallelParseEvent::~ParallelParseEvent() {
  for (ParserEvWork* w : ev_works_) delete w;
  delete sql_buf_;
  sql_buf_ = nullptr;
  ev_works_.clear();
}

bool ParallelParseEvent::Init() {
  if (thread_num_ < 1) {
    setErr("parallel parse thread num %d is invalid, it must be at least 1", thread_num_);
    return true;
  }
  if (sql_buf_ != nullptr) return false;  // already running
  // On any failure the workers started so far are stopped again, and a later Init starts afresh.
  auto fail = [this](const char* what, int i) {
    for (ParserEvWork* w : ev_works_) delete w;
    ev_works_.clear();
    delete sql_buf_;
    sql_buf_ = nullptr;
    setErr("parallel parse init failed: %s for worker %d of %d", what, i, thread_num_);
    return true;
  };
  try {
    ev_works_.reserve(static_cast<size_t>(thread_num_));
  } catch (const std::exception&) {
    return fail("cannot allocate the worker list", 0);
  }
  for (int i = 0; i < thread_num_; ++i) {
    ParserEvWork* w = new (std::nothrow) ParserEvWork(i);
    if (w == nullptr) return fail("cannot allocate the worker", i);
    ev_works_.push_back(w);  // reserved: cannot throw
    if (w->init(this)) return fail("cannot start the thread", i);
  }
  sql_buf_ = new (std::nothrow) MemSqlBuf();
  if (sql_buf_ == nullptr) return fail("cannot allocate the slot array", thread_num_ - 1);
  return false;
}

bool ParallelParseEvent::Parse(const std::list<char*>& ev_list) {
  if (sql_buf_ == nullptr || thread_num_ < 1) {
    setErr("parallel parse event is not initialized, call Init first");
    return true;
  }
  // The slot array may only change while no worker decodes: a host that calls Parse early (for
  // instance right after an Execute that failed part-way) waits here instead of racing the workers.
  for (ParserEvWork* w : ev_works_) {
    while (w->bpos_.load(std::memory_order_acquire) != -1) usleep(50);
  }
  if (sql_buf_->Reserve(ev_list.size())) {
    setErr("%s", sql_buf_->getErr());
    return true;
  }
  int32_t n = static_cast<int32_t>(sql_buf_->used_num_);
  int32_t t = thread_num_;
  int32_t step = n / t;
  int32_t left = n % t;
  int32_t begin_pos = 0;
  for (int32_t i = 0; i < t; ++i) {
    int32_t end = begin_pos + step + (i == 0 ? left : 0);
    ev_works_[i]->work_step(&ev_list, begin_pos, end);
    if (end >= n) break;
    begin_pos = end;
  }
  return false;
}

void ParallelParseEvent::StopParse() {
  for (ParserEvWork* w : ev_works_) w->SetStopParse();
}

}  // namespace ostrel
