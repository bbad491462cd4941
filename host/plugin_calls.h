// The plug-in's operations in the host's error convention. The plug-in's bool results are true on
// failure (its interface fixes that); the host's own functions return true on success. These adapters
// are the one place where a result is turned around, so no host function reads a bool both ways.
#pragma once

#include <list>
#include <string>

#include "block_util.h"
#include "plugin/common/dispatch_event.h"

namespace cdchost {

// The decoder's workers run. Otherwise d.getErr() says why.
inline bool StartDecoder(ostrel::ParallelParseEvent& d) { return !d.Init(); }
// The batch is handed to the decoder's workers. Otherwise d.getErr() says why.
inline bool HandToDecoder(ostrel::ParallelParseEvent& d, const std::list<char*>& blocks) { return !d.Parse(blocks); }
// The sink is ready. Otherwise sink->getErr() says why.
inline bool InitSink(ostrel::CDispatchEvent* sink, const std::string& channel, const std::string& udf,
                     const std::string& param, const std::string& job) {
  return !sink->Init(channel, udf, param, job, ostrel::S_Mysql, false);
}
// The batch is handed over and committed. Otherwise sink->getErr() says why.
inline bool ExecuteBatch(ostrel::CDispatchEvent* sink, const std::string& channel, const std::string& udf,
                         ostrel::ParallelParseEvent* d) {
  return !sink->Execute(channel, udf, d);
}

}  // namespace cdchost
