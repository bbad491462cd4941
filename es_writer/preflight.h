// The preflight of initialize: what would make the first bulk fail, looked at before any document, with
// only what the writer's own user may read. A sink that cannot write should not start and fail at its
// first bulk hours later.
//
//   - the write right on the index, where the engine has security (create_doc under op_type=create,
//     index otherwise): _security/user/_has_privileges;
//   - the ingest pipeline, when one is set: _ingest/pipeline/<name>;
//   - no write block on the index (or on a data stream's write index): <index>/_settings.
//
// A check that does not apply (no security, no such endpoint) is skipped silently; one the user may not
// read (403) is named in *not_checked and never fails the start. preflight=off skips them all.
#pragma once

#include <string>
#include <vector>

#include "config.h"
#include "http_client.h"
#include "status.h"

namespace eswriter {

// An error that names the right, the index and the user, the pipeline, or the block.
Status Preflight(HttpClient& http, const Node& node, const Options& options, const std::string& index,
                 std::vector<std::string>* not_checked);

}  // namespace eswriter
