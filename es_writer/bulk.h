// One bulk request: its NDJSON body with the span of every document, and the classification of the
// engine's reply into acknowledged, retryable and refused documents.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace eswriter {

enum class LineBreaks {
  kNone,             // the document is one line already
  kBetweenTokens,    // only outside strings: white space, sent as spaces
  kInsideAString,    // invalid JSON: malformed, never repaired
};

// Where the document's raw line breaks (LF, CR) are.
LineBreaks FindLineBreaks(const char* doc, size_t len);

class Bulk {
 public:
  // action_head: the action line up to its metadata's last member, e.g. {"index":{"_index":"i"
  explicit Bulk(const std::string& action_head) : action_head_(action_head) {}

  // Appends one document as an action line (the head, id_fragment such as ,"_id":"7" or nothing,
  // then "}}") and a payload line. breaks is FindLineBreaks of the document: a raw line break
  // outside its strings is white space to JSON and becomes a space, so a document is always exactly
  // one line with its tokens as they were. REQUIRES: breaks is not kInsideAString (such a document
  // is malformed and never sent).
  void Add(const char* doc, size_t len, const std::string& id_fragment, LineBreaks breaks);
  // Bytes that Add adds for a document of len bytes with this id fragment.
  size_t AddedBytes(size_t len, size_t id_fragment_len) const { return action_head_.size() + id_fragment_len + 4 + len; }
  // Empties the bulk for reuse under this action head, keeping the storage of its body and spans.
  void Reset(const std::string& action_head) {
    action_head_ = action_head;
    body_.clear();
    spans_.clear();
    failed_since_.clear();
    generation = 0;
  }
  // Room for about this many bytes and documents (a hint: a failure to reserve is ignored).
  void Reserve(size_t bytes, size_t count);
  size_t count() const { return spans_.size(); }
  size_t bytes() const { return body_.size(); }
  const std::string& body() const { return body_; }
  // The document at index i, as sent.
  std::string Doc(size_t i) const { return body_.substr(spans_[i].start, spans_[i].len); }
  // A new bulk with the documents at the given indexes, in that order.
  Bulk Subset(const std::vector<size_t>& indexes) const;
  // Appends the documents of other at the given indexes, in that order, with the times of their first
  // failed attempt; failed_now, when given, is that time for documents that had none.
  void AddFrom(const Bulk& other, const std::vector<size_t>& indexes,
               const std::chrono::steady_clock::time_point* failed_now = nullptr);
  // Gives every document without a time of its first failed attempt the time now.
  void MarkFailed(std::chrono::steady_clock::time_point now);
  // When an attempt at the document at index i first failed. REQUIRES: HasFailed().
  std::chrono::steady_clock::time_point FailedSince(size_t i) const { return failed_since_[i]; }
  bool HasFailed() const { return !failed_since_.empty(); }

  uint64_t generation = 0;  // the commit period the bulk belongs to

 private:
  struct Span {
    size_t action;  // offset of the document's action line in body_
    size_t start;   // offset of its payload
    size_t len;     // length of its payload
  };
  // Claims, with write prefetches, the reserved lines that the next document of about len bytes
  // will be copied into.
  void ClaimAhead(size_t len);

  std::string action_head_;
  std::string body_;
  std::vector<Span> spans_;
  // Per document, once an attempt at one of them failed: when the document's first attempt failed.
  std::vector<std::chrono::steady_clock::time_point> failed_since_;
};


// Cuts a reason text to at most n bytes (with an ellipsis) for messages and logs.
std::string Cut(const std::string& text, size_t n);

}  // namespace eswriter
