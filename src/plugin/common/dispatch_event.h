// The interface through which the host drives a sink plug-in.
//
// The host is compiled against this same header: the virtual slot order (destructor, Init, Execute,
// Close, AddSkipGtid) and the ErrorBase layout are shared with it and must not change. Every bool result
// is true on failure, with the reason readable through getErr().
#pragma once

#include <string>

#include "cdc_error.h"

namespace ostrel {

class ParallelParseEvent;

enum SourceType {
  S_Mysql = 0,
  S_Maria = 1,
  S_TdEngine = 2,
  S_Mongo = 3,
  S_Es = 4,
  S_Rabbitmq = 5,
};

class CDispatchEvent : public ErrorBase {
 public:
  virtual ~CDispatchEvent() {}

  // Once per sink, before any Execute. After a failure the host must not call Execute.
  virtual bool Init(const std::string& channel_name, const std::string& udf_name, const std::string& param,
                    const std::string& job_id, SourceType source_type, bool all_dump) = 0;
  // Forwards the batch that parse_ev is decoding. The blocks and their list stay valid until it returns.
  virtual bool Execute(const std::string& channel_name, const std::string& udf_name,
                       ParallelParseEvent* parse_ev) = 0;
  virtual void Close(const std::string& channel_name, const std::string& udf_name) = 0;
  virtual void AddSkipGtid(const std::string& gtid) = 0;
};

}  // namespace ostrel
