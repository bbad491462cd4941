// NDJSON bulk bodies and the classification of bulk replies.
#include "bulk.h"

#include <cstring>


#include "shared/prefetch.h"
#include "shared/safe_text.h"

namespace eswriter {

LineBreaks FindLineBreaks(const char* doc, size_t len) {
  if (memchr(doc, '\n', len) == nullptr && memchr(doc, '\r', len) == nullptr) return LineBreaks::kNone;
  bool in_string = false;
  for (size_t i = 0; i < len; ++i) {
    const char c = doc[i];
    if (in_string) {
      if (c == '\\') {
        ++i;  // the escaped character, whatever it is, belongs to the string
        if (i < len && (doc[i] == '\n' || doc[i] == '\r')) return LineBreaks::kInsideAString;
      } else if (c == '"') {
        in_string = false;
      } else if (c == '\n' || c == '\r') {
        return LineBreaks::kInsideAString;
      }
    } else if (c == '"') {
      in_string = true;
    }
  }
  return LineBreaks::kBetweenTokens;
}

void Bulk::Add(const char* doc, size_t len, const std::string& id_fragment, LineBreaks breaks) {
  body_.reserve(body_.size() + AddedBytes(len, id_fragment.size()));  // one growth: a failure changes nothing
  const size_t action = body_.size();
  body_.append(action_head_);
  body_.append(id_fragment);
  body_.append("}}\n", 3);
  size_t start = body_.size();
  body_.append(doc, len);
  if (breaks != LineBreaks::kNone) {
    for (size_t i = start; i < body_.size(); ++i) {
      if (body_[i] == '\n' || body_[i] == '\r') body_[i] = ' ';
    }
  }
  spans_.push_back(Span{action, start, body_.size() - start});
  body_.push_back('\n');
  ClaimAhead(len);
}

void Bulk::ClaimAhead(size_t len) {
  // The next document goes right after this one, into lines that are usually not in this core's
  // cache (a body is up to bulk_bytes, and the one before it was sent from another thread). Claimed
  // now, with a write prefetch, they arrive while the caller works on its next document; otherwise
  // the caller's next locked instruction (the library's lock, a metrics counter) waits for every
  // store of the copy to reach its line. Only the reserved room is touched, a document's size ahead
  // (at least one action line, at most 4 KB, beyond which the hardware's own prefetch keeps up).
  const size_t from = body_.size();
  const size_t want = len + 64 < 4096 ? len + 64 : 4096;
  const size_t to = from + want < body_.capacity() ? from + want : body_.capacity();
  const char* base = body_.data();
  for (size_t at = from & ~static_cast<size_t>(63); at < to; at += 64) ostrel::PrefetchForWrite(base + at);
}

void Bulk::Reserve(size_t bytes, size_t count) {
  try {
    body_.reserve(bytes + bytes / 16);
    spans_.reserve(count);
  } catch (const std::exception&) {
    // only a hint: the bulk grows as it is filled
  }
}

Bulk Bulk::Subset(const std::vector<size_t>& indexes) const {
  Bulk out(action_head_);
  out.generation = generation;
  out.AddFrom(*this, indexes);
  return out;
}

void Bulk::AddFrom(const Bulk& other, const std::vector<size_t>& indexes,
                   const std::chrono::steady_clock::time_point* failed_now) {
  // Action lines are copied as they are (with their ids); payloads hold no raw line break any more.
  const bool times = other.HasFailed() || failed_now != nullptr;
  if (times && failed_since_.size() < spans_.size()) {  // documents of this bulk without a failure so far
    failed_since_.resize(spans_.size(), failed_now != nullptr ? *failed_now : std::chrono::steady_clock::now());
  }
  for (size_t i : indexes) {
    const Span& sp = other.spans_[i];
    const size_t action = body_.size();
    body_.append(other.body_, sp.action, sp.start - sp.action);
    const size_t start = body_.size();
    body_.append(other.body_, sp.start, sp.len);
    spans_.push_back(Span{action, start, sp.len});
    body_.push_back('\n');
    if (times) failed_since_.push_back(other.HasFailed() ? other.failed_since_[i] : *failed_now);
  }
}

void Bulk::MarkFailed(std::chrono::steady_clock::time_point now) {
  if (failed_since_.size() < spans_.size()) failed_since_.resize(spans_.size(), now);
}

std::string Cut(const std::string& text, size_t n) {
  // Texts cut here come from the engine: escaped, so that a reply cannot forge a log line.
  if (text.size() <= n) return ostrel::EscapeControls(text);
  return ostrel::EscapeControls(text.substr(0, n)) + "...";
}

}  // namespace eswriter
