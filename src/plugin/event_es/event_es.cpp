// The search-engine sink: parameters, Init, and Execute's in-order walk over the decoder's slots that
// hands every "doc" value of an 'insert' row to the writer library and commits once per batch.
#include "plugin/event_es/event_es.h"

#include <unistd.h>

#include <cassert>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <mutex>
#include <new>
#include <vector>

#include <rapidjson/document.h>

#include "block_util.h"
#include "shared/prefetch.h"
#include "shared/safe_text.h"
#include "es_writer/libes_writer.h"
#include "json_event_type.h"
#include "logging/NanoLog.h"

#ifndef EVENT_ES_VERSION
#define EVENT_ES_VERSION "unknown"
#endif

namespace ostrel {

namespace {

// The version, as a what(1) string in the file: tools read it without loading anything new.
__attribute__((used)) const char kWhatVersion[] = "@(#)libevent_es " EVENT_ES_VERSION;

const useconds_t kSlotPollUs = 20000;
const char kNoWriterText[] = "(the writer gave no error text)";

// The writer's error text as the sink passes it on: credentials hidden and control characters
// escaped (it may quote the engine), whatever writer library is in place.
inline std::string WriterText(const char* r1) { return EscapeControls(MaskSecrets(r1 != nullptr ? r1 : kNoWriterText)); }

// The sinks that hold the process's one writer library, with the settings each initialised it with.
// Taken only by Init and the destructor; never destroyed, since a host may destroy a sink late.
struct WriterOwners {
  std::mutex mu;
  std::map<const void*, std::string> live;
};

WriterOwners& Owners() {
  static WriterOwners* owners = new WriterOwners();
  return *owners;
}

// A number as the parameter rules read it (atoi) is only trusted when the text is plain decimal digits
// whose value lies in [min, max]; anything else ("-1", "1e9", "abc") gets a warning.
bool PlainNumber(const std::string& text, long min, long max) {
  if (text.empty() || text.size() > 10) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  const long v = atol(text.c_str());
  return v >= min && v <= max;
}

// What the parameter text says beyond its fields: the raw texts of the numbers and the keys given
// more than once (the first one counts).
struct ParamNotes {
  std::string log_size, es_bulknum;
  bool has_log_size = false, has_es_bulknum = false;
  std::vector<std::string> repeated;
};

ParamNotes ReadParamNotes(const std::string& param) {
  ParamNotes notes;
  rapidjson::Document doc;
  doc.Parse<rapidjson::kParseIterativeFlag>(param.data(), param.size());
  if (doc.HasParseError() || !doc.IsObject()) return notes;
  std::map<std::string, int> seen;
  for (auto it = doc.MemberBegin(); it != doc.MemberEnd(); ++it) {
    const std::string key(it->name.GetString(), it->name.GetStringLength());
    if (++seen[key] == 2) notes.repeated.push_back(key);
  }
  auto raw = [&doc](const char* key, std::string* out, bool* has) {
    auto it = doc.FindMember(key);
    *has = it != doc.MemberEnd() && it->value.IsString();
    if (*has) out->assign(it->value.GetString(), it->value.GetStringLength());
  };
  raw("log_size", &notes.log_size, &notes.has_log_size);
  raw("es_bulknum", &notes.es_bulknum, &notes.has_es_bulknum);
  return notes;
}

const long kMaxLogSizeMb = 1024 * 1024;  // 1 TiB per file
const int32_t kDefaultLogSizeMb = 500;

// Called from a catch block: nothing may throw out of a sink call into the host, so the exception
// in flight becomes a failure of `what` with a text.
bool ReportException(ErrorBase& self, const char* what) {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    self.setErr("%s failed: out of memory", what);
  } catch (const std::exception& e) {
    self.setErr("%s failed: %s", what, e.what());
  } catch (...) {
    self.setErr("%s failed with an unknown exception", what);
  }
  return true;
}

// The worker that abandoned the slot at pos of the current batch (the host stopped it with StopParse
// and it went idle without decoding it), or -1 while the slot may still be decoded. The worker is
// found from the partition Parse makes: worker 0 takes n / t + n % t slots, every other one n / t.
// A worker can only have abandoned its range when it was told to stop, so a batch of a decoder that
// was never stopped is always waited for.
int AbandonedBy(ParallelParseEvent* pe, size_t pos) {
  const size_t n = pe->sql_buf_->used_num_;
  const size_t t = pe->ev_works_.size();
  if (t == 0 || pos >= n) return -1;
  const size_t step = n / t, first = step + n % t;
  const size_t owner = step == 0 || pos < first ? 0 : 1 + (pos - first) / step;
  if (owner >= t) return -1;
  const ParserEvWork* w = pe->ev_works_[owner];
  if (!w->stop_parse_.load() || w->bpos_.load(std::memory_order_acquire) != -1) return -1;
  return pe->sql_buf_->GetElemByPos(pos)->GetState() ? -1 : static_cast<int>(owner);
}

std::string BufStrToString(BufStr& s) {
  std::string out;
  for (size_t i = 0; i < s.used_num_; ++i) out.append(s.elems_[i]->str_, s.elems_[i]->len_);
  return out;
}

}  // namespace

// ---------------------------------------------------------------------------------------------------
// ESConf

bool ESConf::parse(const std::string& param) {
  rapidjson::Document doc;
  // Iterative parsing: a deeply nested text must not exhaust the stack.
  doc.Parse<rapidjson::kParseIterativeFlag>(param.data(), param.size());
  if (doc.HasParseError()) {
    setErr("parse param %s failed: %d", MaskSecrets(param).c_str(), static_cast<int>(doc.GetParseError()));
    return true;
  }
  if (!doc.IsObject()) {
    setErr("parse param failed: the plugin param must be a JSON object");
    return true;
  }

  // Reads a key that must hold a JSON string. present is false when the key is absent.
  auto read = [&](const char* key, std::string& out, bool& present) -> bool {
    auto it = doc.FindMember(key);
    present = it != doc.MemberEnd();
    if (!present) return false;
    if (!it->value.IsString()) {
      setErr("the value of %s in the plugin param must be a JSON string", key);
      return true;
    }
    out.assign(it->value.GetString(), it->value.GetStringLength());
    return false;
  };

  std::string value;
  bool present = false;
  if (read("log_path", value, present)) return true;
  log_path_ = present ? value : "../log";
  if (read("log_name", value, present)) return true;
  if (present) log_name_ = value;
  if (read("log_size", value, present)) return true;
  log_size_ = present ? atoi(value.c_str()) : 500;
  if (read("es_url", value, present)) return true;
  if (!present) {
    setErr("miss es_url in the plugin param");
    return true;
  }
  es_url_ = value;
  if (read("es_version", value, present)) return true;
  if (!present) {
    setErr("miss es_version in the plugin param");
    return true;
  }
  es_version_ = value;
  if (read("es_index", value, present)) return true;
  if (!present) {
    setErr("miss es_index in the plugin param");
    return true;
  }
  es_index_ = value;
  if (read("es_bulknum", value, present)) return true;
  es_bulknum_ = present ? atoi(value.c_str()) : 500;
  return false;
}

// ---------------------------------------------------------------------------------------------------
// CEventEs

CEventEs::~CEventEs() {
  std::lock_guard<std::mutex> lock(Owners().mu);
  Owners().live.erase(this);
}

bool CEventEs::Init(const std::string& channel_name, const std::string& udf_name, const std::string& param,
                    const std::string& job_id, SourceType source_type, bool all_dump) {
  (void)channel_name;
  (void)source_type;
  (void)all_dump;
  try {
    if (conf_.parse(param)) {
      setErr("%s", conf_.getErr());
      return true;
    }
    if (conf_.es_version_ != "v7" && conf_.es_version_ != "v8") {
      setErr("es version: %s is not support, please check", conf_.es_version_.c_str());
      return true;
    }

    std::string log_name = conf_.log_name_;
    if (log_name.empty()) log_name = udf_name + "-event_es-" + job_id.substr(0, job_id.find('@'));
    // The roll size reaches the logger only as a sane number: "-1" would be 4 PiB.
    const ParamNotes notes = ReadParamNotes(param);
    const bool bad_log_size = notes.has_log_size && !PlainNumber(notes.log_size, 0, kMaxLogSizeMb);
    nanolog::initialize(nanolog::GuaranteedLogger(), conf_.log_path_, log_name,
                        static_cast<uint32_t>(bad_log_size ? kDefaultLogSizeMb : conf_.log_size_));
    for (const std::string& key : notes.repeated) {
      LOG_WARN << "parameter \"" << key << "\" is given more than once; the first value is used";
    }
    if (bad_log_size) {
      LOG_WARN << "log_size \"" << notes.log_size << "\" is not a whole number of megabytes from 0 to " << kMaxLogSizeMb
               << "; the log rolls at " << kDefaultLogSizeMb << " MB";
    }
    if (notes.has_es_bulknum && !PlainNumber(notes.es_bulknum, 1, INT_MAX)) {
      LOG_WARN << "es_bulknum \"" << notes.es_bulknum << "\" is not a whole number from 1 to " << int32_t(INT_MAX)
               << "; it reads as " << conf_.es_bulknum_;
    }

    if (ev_buf_.initStr("", 256)) {
      setErr("alloc event buf failed");
      LOG_CRIT << getErr();
      return true;
    }

    // One sink at a time initialises the writer, and never with settings other than those of a sink
    // that is still alive.
    const std::string settings = conf_.es_url_ + '\n' + conf_.es_version_ + '\n' + conf_.es_index_ + '\n' +
                                 std::to_string(conf_.es_bulknum_) + '\n' + conf_.log_path_;
    std::lock_guard<std::mutex> lock(Owners().mu);
    for (const auto& owner : Owners().live) {
      if (owner.first != this && owner.second != settings) {
        setErr("initialize es writer failed %s",
               "another sink of this process is alive with other writer settings, and the writer library serves "
               "one sink per process: destroy that sink first");
        LOG_CRIT << getErr();
        return true;
      }
    }
    char writer_log_name[] = "cdc_es_write";
    initialize_return ret = initialize(const_cast<char*>(conf_.es_url_.c_str()), conf_.es_version_ == "v8" ? 1 : 0,
                                       const_cast<char*>(conf_.es_index_.c_str()), conf_.es_bulknum_,
                                       const_cast<char*>(conf_.log_path_.c_str()), writer_log_name);
    if (ret.r0 != 0) {
      setErr("initialize es writer failed %s", WriterText(ret.r1).c_str());
      LOG_CRIT << getErr();
      return true;
    }
    Owners().live[this] = settings;
    LOG_INFO << "event_es plugin udf_name " << udf_name << " init ok ...";
    return false;
  } catch (...) {
    return ReportException(*this, "init");
  }
}

bool CEventEs::Execute(const std::string& channel_name, const std::string& udf_name, ParallelParseEvent* parse_ev) {
  (void)channel_name;
  (void)udf_name;
  try {
    return executeBatch(parse_ev);
  } catch (...) {
    return ReportException(*this, "execute");
  }
}

bool CEventEs::executeBatch(ParallelParseEvent* parse_ev) {
  if (parse_ev == nullptr || parse_ev->sql_buf_ == nullptr) {
    setErr("execute failed: the parallel parse event is missing or not initialized");
    return true;
  }
  {
    // Only a sink whose Init succeeded owns the writer: one whose Init failed (another sink's settings,
    // an unreachable engine) would otherwise send its documents wherever the writer points.
    std::lock_guard<std::mutex> lock(Owners().mu);
    if (!ev_buf_.isValid() || Owners().live.count(this) == 0) {
      setErr("execute failed: the sink is not initialized (Init was not called or failed), nothing is sent");
      return true;
    }
  }
  MemSqlBuf* slots = parse_ev->sql_buf_;
  sql_buf_len_ = 0;
  const size_t ev_num = slots->used_num_;
  while (static_cast<size_t>(sql_buf_len_) < ev_num) {
    size_t incr_gap = 0;
    for (size_t pos = static_cast<size_t>(sql_buf_len_); pos < ev_num; ++pos) {
      if (!slots->GetElemByPos(pos)->GetState()) break;
      ++incr_gap;
    }
    if (incr_gap == 0) {
      const int worker = AbandonedBy(parse_ev, static_cast<size_t>(sql_buf_len_));
      if (worker >= 0) {
        setErr("execute failed: slot %zu of %zu will never be decoded: the decoder's worker %d was stopped "
               "(StopParse) before it; send the batch again",
               static_cast<size_t>(sql_buf_len_), ev_num, worker);
        LOG_CRIT << getErr();
        return true;
      }
      usleep(kSlotPollUs);
      continue;
    }
    if (writeEvent(parse_ev, incr_gap)) return true;
    sql_buf_len_ += static_cast<int32_t>(incr_gap);
  }
  return commitMsg();
}

void CEventEs::Close(const std::string& channel_name, const std::string& udf_name) {
  (void)channel_name;
  (void)udf_name;
}

void CEventEs::AddSkipGtid(const std::string& gtid) { (void)gtid; }

// Empties ev_buf_ and copies s into it. False when the whole value arrived; a failed growth leaves a
// partial value, which callers must neither compare nor forward.
static bool CopyToBuf(DynamicStr& buf, BufStr* s) {
  buf.setStr(nullptr);
  size_t expected = 0;
  for (size_t i = 0; i < s->used_num_; ++i) expected += s->elems_[i]->len_;
  s->GetStr(&buf);
  return buf.length() != expected || (expected == 0 && !buf.isValid());
}

// True when the string's pieces hold exactly the n bytes of lit (lit holds no NUL, so this is the
// same test as copying the value into ev_buf_ and calling matchWithLen, without the copy).
static bool PiecesEqualSlow(const BufStr* s, const char* lit, size_t n) {
  size_t total = 0;
  for (size_t i = 0; i < s->used_num_; ++i) total += s->elems_[i]->len_;
  if (total != n) return false;
  for (size_t i = 0; i < s->used_num_; ++i) {
    const StrWithLen* piece = s->elems_[i];
    if (piece->len_ != 0 && memcmp(piece->str_, lit, piece->len_) != 0) return false;
    lit += piece->len_;
  }
  return true;
}

// The same for a literal. A value in one piece (nearly every name and optype) is compared with a
// comparison of known length, which the compiler turns into a few loads.
template <size_t N>
static inline bool PiecesEqual(const BufStr* s, const char (&lit)[N]) {
  constexpr size_t n = N - 1;
  if (s->used_num_ == 1) {
    const StrWithLen* piece = s->elems_[0];
    return piece->len_ == n && memcmp(piece->str_, lit, n) == 0;
  }
  return PiecesEqualSlow(s, lit, n);
}

namespace {

// A record the workers just wrote is reached through a chain of pointers (slot, event, list, string,
// piece, bytes), and on this thread every link is a cache miss that waits for the one before it; the
// document's bytes are cold as well. RecordWarmer walks the chains of the slots ahead of the one being
// forwarded, one link per slot per step, with prefetches: the links fetched in one step belong to
// different slots and overlap, and each has a whole slot's forwarding time to arrive. It only reads,
// and only slots whose GetState has returned true (the run writeEvent was given). The first row and
// the first kWarmCols columns of an event are warmed, and at most kWarmDocBytes of a document (the
// hardware's own prefetch follows a longer copy). Warming costs about as much as a second walk when
// the records are in cache already, so runs shorter than kWarmMinRun are not warmed: what a short run
// can lose is a few microseconds against the batch's commit.
const size_t kWarmDepth = 8;
const size_t kWarmMinRun = 256;
const size_t kWarmCols = 8;
const size_t kWarmDocBytes = 1024;

// An object may straddle two lines: fetch the line of its first and of its last byte.
template <typename T>
inline void PrefetchObject(const T* p) {
  PrefetchForRead(p);
  PrefetchForRead(reinterpret_cast<const char*>(p) + sizeof(T) - 1);
}

class RecordWarmer {
 public:
  RecordWarmer(MemSqlBuf* slots, size_t begin, size_t end)
      : slots_(slots), end_(end), on_(end - begin >= kWarmMinRun) {
    if (!on_) return;
    for (Chain& c : ring_) c = Chain{nullptr, nullptr, 0, 0};
    // The steps the first slots would have had from the positions before `begin`, so that every slot
    // goes through every stage in order.
    for (size_t back = kWarmDepth; back > 0; --back) {
      for (size_t st = 0; st <= kWarmDepth - back; ++st) step(begin - back + (kWarmDepth - st), st);
    }
  }

  // Called before slot `pos` is forwarded, for consecutive positions from `begin`: stage st of the
  // chain of slot pos + kWarmDepth - st, so a slot takes one stage per forwarded slot.
  void Advance(size_t pos) {
    if (!on_) return;
    for (size_t st = 0; st < kWarmDepth; ++st) step(pos + kWarmDepth - st, st);
  }

 private:
  struct Chain {
    SqlEvent* ev;
    NameStrList* row;
    size_t cols;   // names warmed
    size_t vcols;  // values warmed
  };

  // Only pieces in use: a reused string keeps older pieces that point into blocks long gone.
  static bool HasPiece(const BufStr* s) { return s->used_num_ != 0; }

  void step(size_t pos, size_t stage) {
    if (pos >= end_) return;
    Chain& c = ring_[pos % kWarmDepth];
    if (stage != 0 && c.ev == nullptr) return;
    switch (stage) {
      case 0:
        c = Chain{slots_->elems_[pos]->sql_ev_, nullptr, 0, 0};
        PrefetchForRead(&c.ev->type_);
        PrefetchObject(&c.ev->col_names_);
        PrefetchObject(&c.ev->datas_);
        return;
      case 1: {
        SqlEvent* ev = c.ev;
        if (IsDdlType(ev->type_) || ev->type_ == EventType::T_GTIDSET || ev->datas_.used_num_ == 0) return;
        c.cols = ev->col_names_.used_num_ < kWarmCols ? ev->col_names_.used_num_ : kWarmCols;
        PrefetchForRead(ev->col_names_.elems_.data());
        PrefetchForRead(ev->datas_.elems_.data());
        return;
      }
      case 2:
        if (c.cols == 0) return;
        for (size_t j = 0; j < c.cols; ++j) PrefetchObject(c.ev->col_names_.elems_[j]);
        c.row = c.ev->datas_.elems_[0];
        PrefetchObject(c.row);
        return;
      case 3:
        if (c.cols == 0) return;
        for (size_t j = 0; j < c.cols; ++j) PrefetchForRead(c.ev->col_names_.elems_[j]->elems_.data());
        c.vcols = c.row->used_num_ < c.cols ? c.row->used_num_ : c.cols;
        PrefetchForRead(c.row->elems_.data());
        return;
      case 4:
        for (size_t j = 0; j < c.cols; ++j) {
          const BufStr* name = c.ev->col_names_.elems_[j];
          if (HasPiece(name)) PrefetchForRead(name->elems_[0]);
        }
        for (size_t j = 0; j < c.vcols; ++j) PrefetchObject(c.row->elems_[j]);
        return;
      case 5:
        for (size_t j = 0; j < c.cols; ++j) {
          const BufStr* name = c.ev->col_names_.elems_[j];
          if (HasPiece(name)) PrefetchForRead(name->elems_[0]->str_);
        }
        for (size_t j = 0; j < c.vcols; ++j) PrefetchForRead(c.row->elems_[j]->elems_.data());
        return;
      case 6:
        for (size_t j = 0; j < c.vcols; ++j) {
          const BufStr* v = c.row->elems_[j];
          if (HasPiece(v)) PrefetchForRead(v->elems_[0]);
        }
        return;
      case 7:
        for (size_t j = 0; j < c.vcols; ++j) {
          const BufStr* v = c.row->elems_[j];
          if (!HasPiece(v)) continue;
          const StrWithLen* piece = v->elems_[0];
          const bool doc = PiecesEqual(c.ev->col_names_.elems_[j], "doc");
          const size_t n = doc ? (piece->len_ < kWarmDocBytes ? piece->len_ : kWarmDocBytes) : 1;
          for (size_t off = 0; off < n; off += 64) PrefetchForRead(piece->str_ + off);
        }
        return;
      default:
        return;
    }
  }

  MemSqlBuf* slots_;
  size_t end_;
  bool on_;
  Chain ring_[kWarmDepth];  // set only when on_
};

}  // namespace

bool CEventEs::writeEvent(ParallelParseEvent* parse_ev, const size_t& incr_gap) {
  const size_t begin = static_cast<size_t>(sql_buf_len_);
  RecordWarmer warmer(parse_ev->sql_buf_, begin, begin + incr_gap);
  for (size_t i = 0; i < incr_gap; ++i) {
    warmer.Advance(static_cast<size_t>(sql_buf_len_) + i);
    SqlEvent* ev = parse_ev->sql_buf_->GetElemByPos(static_cast<size_t>(sql_buf_len_) + i)->sql_ev_;
    if (IsDdlType(ev->type_)) {
      LOG_WARN << "ddl event not need sync to es";
      continue;
    }
    if (ev->type_ == EventType::T_GTIDSET) continue;
    if (packBatchMsg(ev)) return true;
  }
  return false;
}

bool CEventEs::packBatchMsg(SqlEvent* sql_ev) {
  ev_buf_.setStr(nullptr);
  const size_t col_num = sql_ev->col_names_.used_num_;
  for (size_t r = 0; r < sql_ev->datas_.used_num_; ++r) {
    NameStrList* data_list = sql_ev->datas_.GetElemByPos(r);
    assert(data_list->used_num_ == col_num);
    const size_t cols = data_list->used_num_ < col_num ? data_list->used_num_ : col_num;
    if (getMsgType(sql_ev, data_list) != ES_WRITER_DOC_INDEX) continue;  // only 'insert' rows send their documents
    for (size_t j = 0; j < cols; ++j) {
      if (!PiecesEqual(sql_ev->col_names_.GetElemByPos(j), "doc")) continue;
      if (CopyToBuf(ev_buf_, data_list->GetElemByPos(j))) {
        setErr("alloc event buf failed while copying a doc value of %zu bytes", ev_buf_.length());
        LOG_CRIT << getErr();
        return true;
      }
      if (ev_buf_.length() < 2) {
        LOG_WARN << "skip doc value shorter than two bytes, db: " << BufStrToString(sql_ev->db_name_)
                 << ", table: " << BufStrToString(sql_ev->tb_name_);
        continue;
      }
      ev_buf_.trunc(1);
      if (writeMsg(ES_WRITER_DOC_INDEX)) return true;
    }
  }
  return false;
}

int CEventEs::getMsgType(SqlEvent* sql_ev, NameStrList* data_list) {
  int typ = 0;
  const size_t col_num = sql_ev->col_names_.used_num_;
  const size_t cols = data_list->used_num_ < col_num ? data_list->used_num_ : col_num;
  for (size_t j = 0; j < cols; ++j) {
    if (!PiecesEqual(sql_ev->col_names_.GetElemByPos(j), "optype")) continue;
    const BufStr* value = data_list->GetElemByPos(j);
    if (PiecesEqual(value, "'insert'")) {
      typ = ES_WRITER_DOC_INDEX;  // the one type the writer indexes
    } else if (PiecesEqual(value, "'delete'")) {
      typ = 2;
    } else if (PiecesEqual(value, "'update'")) {
      typ = 3;
    }
  }
  return typ;
}

bool CEventEs::writeMsg(int typ) {
  size_t len = ev_buf_.length() - 1;
  if (len > static_cast<size_t>(INT_MAX)) {
    setErr("write msg failed: a doc of %zu bytes is larger than the writer accepts", len);
    LOG_CRIT << getErr();
    return true;
  }
  write_msg_return ret = write_msg(ev_buf_.str() + 1, static_cast<int>(len), static_cast<int64_t>(typ));
  if (ret.r0 != 0) {
    setErr("write msg failed: %s", WriterText(ret.r1).c_str());
    LOG_CRIT << getErr();
    return true;
  }
  return false;
}

bool CEventEs::commitMsg() {
  need_commit_return ret = need_commit();
  if (ret.r0 != 0) {
    setErr("commit msg failed: %s", WriterText(ret.r1).c_str());
    LOG_CRIT << getErr();
    return true;
  }
  return false;
}

}  // namespace ostrel

extern "C" {

ostrel::CDispatchEvent* Create() { return new ostrel::CEventEs(); }

void Destroy(ostrel::CDispatchEvent* p) { delete p; }
}
