// Event blocks: the decoded record (SqlEvent and its reusable lists), the streaming field decoder
// (ParseEvent), the chunk-chain framing and the parallel decoder of a batch (ParallelParseEvent).
//
// Layouts of these classes are shared with the host, which constructs the decoder the sink reads.
// Strings in a SqlEvent are views into the host's block memory and never own their bytes. Lists keep
// every element they ever allocated: Reset/Reserve only move counts, so a slot that decodes one event
// after another stops allocating once its lists are large enough.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <thread>
#include <vector>

#include "cdc_error.h"
#include "common/dynamic_str.h"
#include "json_event_type.h"

namespace ostrel {

// Supplied by the host. Called with false when a string piece cannot be allocated; it must not return.
void cdc_assert(bool cond);

// Width of the link field at the end of every chunk but the last.
const size_t CHUNK_ADDR = 8;

// Non-owning view of bytes, normally inside an event block; not terminated.
struct StrWithLen {
  static constexpr uint32_t str_npos = 0xFFFFFFFF;

  StrWithLen() : str_(nullptr), len_(0) {}
  // Views s.c_str(); valid while s is alive and unchanged.
  void InitStr(const std::string& s);
  bool Match(const char* s, size_t n);
  bool Match(const std::string& s);
  uint32_t FindStr(const char* s);
  uint32_t FindStr(const char* s, uint32_t n);

  const char* str_;
  uint32_t len_;
};
typedef StrWithLen* StrWithLenPtr;

// One logical string made of pieces; its value is the concatenation of the pieces in use.
class BufStr {
 public:
  BufStr() : used_num_(0) {}
  virtual ~BufStr();
  BufStr(const BufStr&) = delete;
  BufStr& operator=(const BufStr&) = delete;

  // Adds s as the next piece, reusing an allocated piece object where one exists.
  __attribute__((always_inline)) void Append(StrWithLen& s) { AppendPiece(s.str_, s.len_); }
  // The same, from a pointer and a length (which the decoder keeps in registers).
  __attribute__((always_inline)) void AppendPiece(const char* str, uint32_t len) {
    if (__builtin_expect(used_num_ < elems_.size(), 1)) {
      StrWithLen* e = elems_[used_num_++];
      e->str_ = str;
      e->len_ = len;
      return;
    }
    StrWithLen s;
    s.str_ = str;
    s.len_ = len;
    AppendNew(s);
  }
  void Reset() { used_num_ = 0; }
  // Appends the pieces in use to out; out is not cleared first.
  void GetStr(DynamicStr* out);
  // Makes this string read as other: its pieces are copied (as views), other is unchanged.
  void Set(BufStr& other);
  // True when the value is the empty string.
  bool Empty();

  std::vector<StrWithLen*> elems_;
  size_t used_num_;

 private:
  // Allocates the piece object for a string that has never held this many pieces.
  void AppendNew(StrWithLen& s);
};
typedef BufStr* BufStrPtr;

// Ordered list of strings: the column names of an event or the values of one row image.
class NameStrList {
 public:
  NameStrList() : used_num_(0), is_skip_(false) {}
  virtual ~NameStrList();
  NameStrList(const NameStrList&) = delete;
  NameStrList& operator=(const NameStrList&) = delete;

  // Sets the count in use to num, allocating elements only beyond those ever allocated. Reused
  // elements are not reset here.
  void Reserve(size_t num) {
    if (__builtin_expect(num <= elems_.size(), 1)) {
      used_num_ = num;
      return;
    }
    Grow(num);
  }
  // REQUIRES: pos < used_num_
  BufStrPtr GetElemByPos(size_t pos);
  // REQUIRES: pos < used_num_. Element pos then reads as exactly s; the old element is destroyed.
  void UpdateElemByPos(size_t pos, StrWithLen& s);
  // Resets every allocated element, in use or not.
  void Reset();
  // REQUIRES: pos < elems_.size(). Element pos then reads as other.
  void Append(size_t pos, BufStr& other);

  std::vector<BufStr*> elems_;
  size_t used_num_;
  bool is_skip_;

 private:
  void Grow(size_t num);  // Reserve beyond the elements ever allocated
};
typedef NameStrList* NameStrListPtr;

// Column state words: bit 31 generated column, bit 30 current timestamp, bits 0-15 the type code.
class ConstIntList {
 public:
  ConstIntList() : used_num_(0) {}
  virtual ~ConstIntList() {}

  // Reused words keep their old values until overwritten by Append.
  void Reserve(size_t num) {
    if (__builtin_expect(num <= elems_.size(), 1)) {
      used_num_ = num;
      return;
    }
    Grow(num);
  }
  // REQUIRES: pos < used_num_ (never grows the list).
  void Append(size_t pos, uint32_t v);
  void Reset() { used_num_ = 0; }
  // REQUIRES: pos < used_num_, for this and the four tests below.
  uint32_t GetElemByPos(size_t pos);
  bool IsGenerateColumn(size_t pos);
  bool IsFloatType(size_t pos);
  bool IsJsonType(size_t pos);
  bool IsCurrentTimestampColumn(size_t pos);

  std::vector<uint32_t> elems_;
  size_t used_num_;

 private:
  void Grow(size_t num);  // Reserve beyond the words ever allocated
};

// Row images, one NameStrList of values per row.
class RowStrList {
 public:
  RowStrList() : used_num_(0) {}
  virtual ~RowStrList();
  RowStrList(const RowStrList&) = delete;
  RowStrList& operator=(const RowStrList&) = delete;

  // Makes num rows of col_num values usable.
  void Reserve(size_t num, size_t col_num);
  // REQUIRES: pos < used_num_
  NameStrListPtr GetElemByPos(size_t pos);
  void Reset();

  std::vector<NameStrList*> elems_;
  size_t used_num_;
};

// One decoded change event. Owns its containers, not the bytes they point to.
class SqlEvent {
 public:
  SqlEvent();
  virtual ~SqlEvent() {}
  SqlEvent(const SqlEvent&) = delete;
  SqlEvent& operator=(const SqlEvent&) = delete;

  // Empties every field but type_; keeps all allocated elements for reuse.
  void Reset();

  EventType type_;
  BufStr db_name_;
  BufStr tb_name_;
  BufStr gtid_;
  BufStr sql_;
  NameStrList col_names_;
  ConstIntList col_states_;
  RowStrList datas_;  // new images (T_UPDATE) or the only images
  RowStrList olds_;   // T_UPDATE only: old images, same index as their new image
  BufStr xid_;
  uint64_t original_commit_ts_;
  uint64_t immediate_commit_ts_;
  uint32_t original_server_version_;
  uint32_t immediate_server_version_;
  size_t ev_len_;
};

enum class EvType : uint8_t { E_Str = 0, E_Int8 = 1, E_Int4 = 2, E_Unknown = 3 };

// Incremental decoder of one event's field stream, fed one piece (chunk payload) at a time.
// One per decoder worker, reused for every block; trusts its input and checks invariants with assert.
class ParseEvent {
 public:
  // Carry buffer for a length prefix or integer split by a piece boundary; never holds more than 8.
  struct BufWithLen {
    BufWithLen() : len_(0) {}
    void Reset() { len_ = 0; }
    void Append(const char* p, size_t n);
    void GetInt4(uint32_t& v);
    void GetInt8(uint64_t& v);

    char buf_[8];
    uint8_t len_;
  };

  struct RowPos {
    RowPos() : is_data_(false), pos_(0), double_step_(false) {}
    void Reset() {
      is_data_ = false;
      pos_ = 0;
      double_step_ = false;
    }

    bool is_data_;       // with two images per row: the next value belongs to the new image
    uint32_t pos_;       // current row image
    bool double_step_;   // T_UPDATE: old and new image per row
  };

  enum class State : uint8_t { S_Init = 0, S_Len = 1, S_Str = 2 };

  ParseEvent();
  virtual ~ParseEvent() {}

  // Starts a new stream into sql_ev, which the caller has just reset. Not owned.
  void Init(SqlEvent* sql_ev);
  // Consumes the next len bytes of the stream. Stored views point into data.
  void Parser(const char* data, uint32_t len);

  SqlEvent* sql_ev_;
  int32_t sql_pos_;
  uint32_t block_pos_;
  uint32_t left_len_;
  EvType ev_type_;
  BufWithLen lbuf_;
  uint32_t str_len_;
  uint64_t int8_len_;
  uint32_t req_len_;
  State state_;
  StrWithLen str_;
  uint32_t col_num_;
  uint32_t row_num_;
  uint32_t row_step1_;
  uint32_t row_step2_;
  uint32_t row_step3_;
  RowPos rpos_;

 private:
  void getNeedParseType();
  bool parseSqlStr(const char* data);
  void updateSqlEvent(bool partial);
  void parseWholeFields(const char* data);
  bool parseOneWholeField(const char* data, bool ddl, uint32_t& p, uint32_t& pos, uint32_t& left);
  // getNeedParseType and updateSqlEvent for field p, with the event's DDL test already made.
  void setFieldType(uint32_t p, bool ddl);
  void storeField(uint32_t p, bool ddl, bool partial);
  void onColumnCount(uint32_t n);
  void onRowCount(uint32_t r);
  void consume(uint32_t n) {
    left_len_ -= n;
    block_pos_ += n;
  }
};

// Decodes the block whose first chunk starts at block into sql_ev (reset first); the event's strings
// point into the block's chunks.
void GetEventFromBlock(ParseEvent* parse_ev, const char* block, SqlEvent* sql_ev);
// True (and nothing touched) when the block is not a GTID-set event; else decodes it and returns false.
bool GetGtidSetEventFromBlock(ParseEvent* parse_ev, const char* block, SqlEvent* sql_ev);

// One decoder slot: its record and its ready flag.
// Threads: one worker writes the record, then publishes it with UpdateState(true); the consumer reads
// the record only after GetState() returned true.
class MemSqlEv {
 public:
  MemSqlEv();
  virtual ~MemSqlEv();
  MemSqlEv(const MemSqlEv&) = delete;
  MemSqlEv& operator=(const MemSqlEv&) = delete;

  void UpdateState(bool state) { state_.store(state, std::memory_order_seq_cst); }
  bool GetState() { return state_.load(std::memory_order_seq_cst); }

  SqlEvent* sql_ev_;  // owned, never null
  std::atomic<bool> state_;
};

// Slot array of one decoding batch.
//
// Grows to the largest batch ever seen and never shrinks; slots and their records are reused.
// Threads: Reserve() runs on the host thread between batches only; a worker writes the record of the
// slots in its range and then publishes it with UpdateState(true); the consumer reads a record only
// after GetState() returned true.
class MemSqlBuf : public ErrorBase {
 public:
  MemSqlBuf() : used_num_(0) {}
  virtual ~MemSqlBuf();
  MemSqlBuf(const MemSqlBuf&) = delete;
  MemSqlBuf& operator=(const MemSqlBuf&) = delete;

  // Makes num slots available and not ready. On failure used_num_ and the flags keep their values.
  bool Reserve(size_t num);
  // REQUIRES: pos < used_num_
  MemSqlEv* GetElemByPos(size_t pos);

  std::vector<MemSqlEv*> elems_;
  size_t used_num_;
};

class ParallelParseEvent;

// One decoding worker and its thread.
// Threads: work_step and SetStopParse run on the host thread; run/work on the worker's own thread.
// An assignment is published through bpos_ (release) after ev_list_ and epos_; the worker reads them
// after an acquire load of bpos_, and returns to idle (bpos_ = -1) before it publishes the last slot
// of its range, so the host's next assignment can never be lost or overwritten.
class ParserEvWork {
 public:
  explicit ParserEvWork(int id);
  // Sets is_quit_ and joins the thread; a worker in the middle of a range finishes it first.
  virtual ~ParserEvWork();
  ParserEvWork(const ParserEvWork&) = delete;
  ParserEvWork& operator=(const ParserEvWork&) = delete;

  bool init(ParallelParseEvent* parallel_parse_ev);
  void run();
  // Hands the worker [bpos, epos) of ev_list; waits first until the worker is idle.
  void work_step(const std::list<char*>* ev_list, int bpos, int epos);
  void SetStopParse() { stop_parse_.store(true); }

  int32_t id_;
  std::thread* wrk_thd_;
  std::atomic<bool> is_quit_;
  std::atomic<bool> stop_parse_;
  const std::list<char*>* ev_list_;
  ParallelParseEvent* parallel_parse_ev_;
  ParseEvent* parse_ev_;
  std::atomic<int32_t> bpos_;
  int32_t epos_;

 private:
  void work();
  void parseEv(const char* ev, const int& pos);
};

// Decodes a batch of event blocks in parallel into slots, slot index = position in the list.
// Threads: the host thread calls Init, Parse, StopParse and the destructor and consumes the slots.
// The next Parse may come only when every slot of the previous batch is ready (or right after Init).
class ParallelParseEvent : public ErrorBase {
 public:
  explicit ParallelParseEvent(int thread_num) : sql_buf_(nullptr), thread_num_(thread_num) {}
  // Joins the workers one after another, then frees the slots.
  virtual ~ParallelParseEvent();
  ParallelParseEvent(const ParallelParseEvent&) = delete;
  ParallelParseEvent& operator=(const ParallelParseEvent&) = delete;

  // Starts the workers and creates the slot array. True, with the reason, when the worker count is
  // below 1 or a worker or the slot array cannot be created (the workers started are stopped again).
  bool Init();
  // Waits until no worker is decoding, then hands out the ranges and returns without waiting for
  // the decoding. True on failure (nothing handed out).
  bool Parse(const std::list<char*>& ev_list);
  // Every worker abandons its range before its next block; undecoded slots stay not ready.
  void StopParse();

  MemSqlBuf* sql_buf_;
  int32_t thread_num_;
  std::vector<ParserEvWork*> ev_works_;
};

}  // namespace ostrel
