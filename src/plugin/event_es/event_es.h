// The search-engine sink: parameters (ESConf), the sink (CEventEs) and the exported entry points.
//
// Threads: every operation of a sink runs on its host thread; the sink reads decoder slots only after
// their ready flag reads true. The writer library (libes_writer) serves one sink per process: while a
// sink is alive, another sink may initialise it only with the same writer settings (Init refuses
// others), so that no live sink's documents are re-targeted. No operation throws.
#pragma once

#include <cstdint>
#include <string>

#include "cdc_error.h"
#include "common/dynamic_str.h"
#include "plugin/common/dispatch_event.h"

namespace ostrel {

class SqlEvent;
class NameStrList;

// Plug-in parameters, read from the JSON text of Init. Lives inside its sink; never copied.
class ESConf : public ErrorBase {
 public:
  ESConf() : log_size_(0), es_bulknum_(0) {}
  virtual ~ESConf() {}
  ESConf(const ESConf&) = delete;
  ESConf& operator=(const ESConf&) = delete;

  // Fills the fields; true on failure with the first problem as the message.
  bool parse(const std::string& param);

  std::string log_path_;
  std::string log_name_;
  int32_t log_size_;
  std::string es_url_;
  std::string es_version_;
  std::string es_index_;
  int32_t es_bulknum_;
};

// Forwards the "doc" values of rows whose "optype" is 'insert' to the writer library.
class CEventEs : public CDispatchEvent {
 public:
  CEventEs() : sql_buf_len_(0) {}
  virtual ~CEventEs();  // gives up the writer library for other sinks
  CEventEs(const CEventEs&) = delete;
  CEventEs& operator=(const CEventEs&) = delete;

  bool Init(const std::string& channel_name, const std::string& udf_name, const std::string& param,
            const std::string& job_id, SourceType source_type, bool all_dump) override;
  bool Execute(const std::string& channel_name, const std::string& udf_name,
               ParallelParseEvent* parse_ev) override;
  void Close(const std::string& channel_name, const std::string& udf_name) override;
  void AddSkipGtid(const std::string& gtid) override;

  ESConf conf_;
  int32_t sql_buf_len_;
  DynamicStr ev_buf_;

 private:
  bool executeBatch(ParallelParseEvent* parse_ev);
  bool writeEvent(ParallelParseEvent* parse_ev, const size_t& incr_gap);
  bool packBatchMsg(SqlEvent* sql_ev);
  int getMsgType(SqlEvent* sql_ev, NameStrList* data_list);
  bool writeMsg(int typ);
  bool commitMsg();
};

}  // namespace ostrel

extern "C" {
// The host's only entry points. The host owns the sink and releases it with Destroy, never delete.
ostrel::CDispatchEvent* Create();
void Destroy(ostrel::CDispatchEvent* p);
}
