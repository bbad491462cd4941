// The replay tool's input format: one change event per line as a JSON object.
//
//   {"type":"INSERT","db":"shop","table":"orders","gtid":"uuid:12","sql":"","xid":"77",
//    "original_commit_ts":0,"immediate_commit_ts":0,"original_server_version":80031,
//    "immediate_server_version":80031,"columns":["id","optype","doc"],"column_states":[3,253,245],
//    "rows":[["1","'insert'","'{\"a\":1}'"]],"olds":[["..."]]}
//
// "type" is a name as getEventTypeStr prints it (INSERT, UPDATE, DELETE, GTIDSET, CREATE_DB, ...,
// UNKNOWN). Every key but "type" is optional. Values are SQL literal texts (strings). "olds" holds
// the old images of an UPDATE, one per row. Blank lines and lines starting with '#' are skipped.
#pragma once

#include <string>

#include "block_encoder.h"

namespace cdchost {

// Parses one line. False with *err ("column C: message") when the line is not a valid event; C counts
// bytes from 1 and is where the parser stopped, or where the value of the member at fault starts.
bool ParseEventLine(const std::string& line, Event* out, std::string* err);

// The event as one line of the input format (for writing examples and tests).
std::string EventToJsonLine(const Event& e);

// Number of documents the sink would forward for this event: "doc" columns of rows whose "optype"
// holds 'insert' (the last recognised "optype" wins), with values of at least two bytes.
size_t CountForwardedDocs(const Event& e);

}  // namespace cdchost
