// AWS Signature Version 4 for the requests of a managed domain whose access is IAM-only (aws_sigv4).
//
// The writer signs what it sends itself: libcurl's own signing also signs the empty "Expect:" header
// the writer uses to turn 100-continue off (a header never sent, so no server can check it), and leaves
// the query as written. Here the signed headers are exactly those sent (host, x-amz-date,
// x-amz-content-sha256 of the payload as sent, after gzip, content-type and content-encoding, and
// x-amz-security-token with a session token), and the query is sent in its canonical form (every name
// and value percent-encoded, sorted), so the service computes the same canonical request. A re-sent
// request is signed anew, with the time of its sending.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "status.h"

namespace eswriter {

struct AwsCredentials {
  std::string access_key, secret, session_token;  // never logged or put in a text
};

// Reads the [default] profile (or the first one) of an AWS credentials file: aws_access_key_id,
// aws_secret_access_key and aws_session_token. An error names the file and what is missing.
Status ReadAwsCredentials(const std::string& path, AwsCredentials* out);

// path ("/_bulk?filter_path=a,b") with its query in the canonical form it is sent in: each name and
// value percent-encoded (all but A-Z a-z 0-9 - _ . ~), the pairs sorted.
std::string CanonicalQueryPath(const std::string& path);

// The headers that sign a request (X-Amz-Date, X-Amz-Content-Sha256, X-Amz-Security-Token and
// Authorization, as "Name: value"). headers: the other headers sent that are signed (name, value),
// host included; path: as sent (see CanonicalQueryPath), with the node's prefix.
std::vector<std::string> SignV4(const std::string& method, const std::string& path,
                                const std::vector<std::pair<std::string, std::string>>& headers,
                                const std::string& payload, const AwsCredentials& credentials,
                                const std::string& region, const std::string& service, int64_t unix_ms);

}  // namespace eswriter
