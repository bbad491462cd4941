// The writer's tunables, listed once: name, range, default and a line of description each. The parser
// of es_url's query, the defaults of Options and the refusal texts all come from this table, and a
// test holds the README's table of tunables against it.
#pragma once

#include <string>
#include <vector>

#include "config.h"
#include "status.h"

namespace eswriter {

struct Tunable {
  const char* name;
  // What an es_url without the tunable means: the value given to apply (nullptr: nothing is applied,
  // the field stays empty), and the README's default column.
  const char* default_value;
  const char* shown_default;
  long min, max;  // the range of a number
  const char* description;
  // Sets the field(s) of o from the value (as written in the URL); an error names the tunable, the
  // value and what it must be. *o is left as it was on an error.
  Status (*apply)(const Tunable& self, const std::string& value, Options* o);
};

// Every tunable, in the README's order.
const std::vector<Tunable>& Tunables();

// Options with every tunable at its default.
Options DefaultOptions();

// Applies key=value to o; an error for an unknown key or a value out of range.
Status ApplyTunable(const std::string& key, const std::string& value, Options* o);

// Percent-decoding of a URL part ("%2F" is "/"); malformed escapes stay as they are.
std::string PercentDecode(const std::string& s);
// Percent-encoding of a path segment or a query parameter's value: everything but the unreserved characters
// (the same rule AWS signing canonicalises with), and '/' too unless keep_slash (a whole path).
std::string UrlEncode(const std::string& s, bool keep_slash = false);

}  // namespace eswriter
