// AWS Signature Version 4: canonical request, string to sign, signing key (OpenSSL's SHA-256 and HMAC).
#include "sigv4.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cctype>
#include <ctime>
#include <fstream>

#include "tunables.h"

namespace eswriter {

namespace {

std::string Hex(const unsigned char* p, size_t n) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(2 * n);
  for (size_t i = 0; i < n; ++i) {
    out += kHex[p[i] >> 4];
    out += kHex[p[i] & 15];
  }
  return out;
}

std::string Sha256Hex(const std::string& data) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(data.data()), data.size(), digest);
  return Hex(digest, sizeof(digest));
}

std::string Hmac(const std::string& key, const std::string& data) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(data.data()),
       data.size(), out, &n);
  return std::string(reinterpret_cast<char*>(out), n);
}

std::string Trim(const std::string& s) {
  const size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

}  // namespace

Status ReadAwsCredentials(const std::string& path, AwsCredentials* out) {
  std::ifstream in(path);
  if (!in) return Status::Error("aws_credentials_file " + path + " cannot be read");
  std::vector<std::pair<std::string, AwsCredentials>> profiles;  // in the file's order
  std::string line;
  while (std::getline(in, line)) {
    line = Trim(line);
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    if (line[0] == '[') {
      profiles.emplace_back(Trim(line.substr(1, line.find(']') - 1)), AwsCredentials());
      continue;
    }
    const size_t eq = line.find('=');
    if (eq == std::string::npos || profiles.empty()) continue;
    const std::string key = Trim(line.substr(0, eq)), value = Trim(line.substr(eq + 1));
    AwsCredentials& c = profiles.back().second;
    if (key == "aws_access_key_id") c.access_key = value;
    if (key == "aws_secret_access_key") c.secret = value;
    if (key == "aws_session_token") c.session_token = value;
  }
  const AwsCredentials* chosen = profiles.empty() ? nullptr : &profiles.front().second;
  for (const auto& p : profiles) {
    if (p.first == "default") chosen = &p.second;
  }
  if (chosen == nullptr || chosen->access_key.empty() || chosen->secret.empty()) {
    return Status::Error("aws_credentials_file " + path + " has no aws_access_key_id and aws_secret_access_key");
  }
  *out = *chosen;
  return Status::Ok();
}

std::string CanonicalQueryPath(const std::string& path) {
  const size_t q = path.find('?');
  if (q == std::string::npos) return path;
  std::vector<std::pair<std::string, std::string>> pairs;
  size_t start = q + 1;
  while (start <= path.size()) {
    const size_t amp = std::min(path.find('&', start), path.size());
    const std::string pair = path.substr(start, amp - start);
    if (!pair.empty()) {
      const size_t eq = pair.find('=');
      pairs.emplace_back(UrlEncode(PercentDecode(pair.substr(0, eq))),
                         eq == std::string::npos ? "" : UrlEncode(PercentDecode(pair.substr(eq + 1))));
    }
    start = amp + 1;
  }
  std::sort(pairs.begin(), pairs.end());
  std::string out = path.substr(0, q + 1);
  for (size_t i = 0; i < pairs.size(); ++i) out += (i ? "&" : "") + pairs[i].first + "=" + pairs[i].second;
  return out;
}

std::vector<std::string> SignV4(const std::string& method, const std::string& path,
                                const std::vector<std::pair<std::string, std::string>>& headers,
                                const std::string& payload, const AwsCredentials& credentials,
                                const std::string& region, const std::string& service, int64_t unix_ms) {
  const time_t secs = static_cast<time_t>(unix_ms / 1000);
  struct tm t;
  gmtime_r(&secs, &t);
  char stamp[20], day[10];
  strftime(stamp, sizeof(stamp), "%Y%m%dT%H%M%SZ", &t);
  strftime(day, sizeof(day), "%Y%m%d", &t);
  const std::string payload_hash = Sha256Hex(payload);

  std::vector<std::pair<std::string, std::string>> signed_headers;
  for (const auto& h : headers) {
    std::string name = h.first;
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
    signed_headers.emplace_back(name, Trim(h.second));
  }
  signed_headers.emplace_back("x-amz-date", stamp);
  signed_headers.emplace_back("x-amz-content-sha256", payload_hash);
  if (!credentials.session_token.empty()) signed_headers.emplace_back("x-amz-security-token", credentials.session_token);
  std::sort(signed_headers.begin(), signed_headers.end());

  const size_t q = path.find('?');
  std::string canonical = method + "\n" + UrlEncode(path.substr(0, q), true) + "\n" +
                          (q == std::string::npos ? "" : path.substr(q + 1)) + "\n";
  std::string names;
  for (const auto& h : signed_headers) {
    canonical += h.first + ":" + h.second + "\n";
    names += (names.empty() ? "" : ";") + h.first;
  }
  canonical += "\n" + names + "\n" + payload_hash;

  const std::string scope = std::string(day) + "/" + region + "/" + service + "/aws4_request";
  const std::string to_sign = "AWS4-HMAC-SHA256\n" + std::string(stamp) + "\n" + scope + "\n" + Sha256Hex(canonical);
  const std::string key =
      Hmac(Hmac(Hmac(Hmac("AWS4" + credentials.secret, day), region), service), "aws4_request");
  const std::string signature = Hmac(key, to_sign);

  std::vector<std::string> out = {"X-Amz-Date: " + std::string(stamp), "X-Amz-Content-Sha256: " + payload_hash};
  if (!credentials.session_token.empty()) out.push_back("X-Amz-Security-Token: " + credentials.session_token);
  out.push_back("Authorization: AWS4-HMAC-SHA256 Credential=" + credentials.access_key + "/" + scope +
                ", SignedHeaders=" + names + ", Signature=" +
                Hex(reinterpret_cast<const unsigned char*>(signature.data()), signature.size()));
  return out;
}

}  // namespace eswriter
