// Free helpers: splitting and trimming text, MurmurHash2-based hashes, time, paths, JSON maps and
// schema.table pattern matching. Stateless and reentrant; nothing in the sink calls them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace ostrel {

// KMP prefix table of txt into Lps, which the caller sizes to txt.length(). An empty txt leaves it empty.
void lps_func(const std::string& txt, std::vector<int>& Lps);

// Appends the pieces of text between non-overlapping occurrences of pattern, left to right, to result
// (not cleared). A separator at the start or two in a row give empty pieces; one at the end gives no
// trailing piece; an empty text gives none. An empty pattern yields the text as one piece.
void Split_KMP(std::string pattern, const std::string& text, std::vector<std::string>& result);

// from without the leading and trailing characters that occur in chars.
std::string Trim(const std::string& from, const std::string& chars);

// Pieces of str: a delimiter of two or more characters is one separator (Split_KMP); a one-character
// or empty one goes to the character tokenizer, which drops empty pieces.
std::vector<std::string> Tokenize(const std::string& str, const char* delim);

// MurmurHash2, 32-bit, seed 0xAD5, of len bytes at key.
unsigned int doMurmurHashCode(const void* key, unsigned short len);

// Sum of the hashes of the non-space bytes: ignores white space and character order.
uint32_t calcuateStrHash(const std::string& str);

// Seconds since the epoch, fraction dropped.
uint64_t GetNowTs();

// "Y-M-D h:m:s" read as local time; -1 when the text lacks any of the six numbers or mktime fails.
int64_t StrTimeToTs(const char* str);

std::string ConvStrToLower(const std::string& str);

// Canonical absolute path of an existing path; empty on failure or when it exceeds 2047 characters.
std::string ConvertToAbsolutePath(const char* path);

// Parks the calling thread for good.
[[noreturn]] void waitForever();

// Compact JSON object of the map, keys in map order; always false.
bool serializeMapToStr(const std::map<std::string, std::string>& key_val, std::string& msg);

// Reads {"type": <int>, "data": <string>}. True on failure with the reason in errmsg (at least 1024
// bytes); the outputs are then unchanged.
bool deserializeStrToData(const char* msg, size_t msg_len, int& msg_type, std::string& msg_data, char* errmsg);

// Merges the members of a JSON object of strings into key_val. True on failure (errmsg as above), with
// key_val unchanged.
bool deserializeDataToMap(const std::string& msg_data, std::map<std::string, std::string>& key_val, char* errmsg);

// True when an entry "schema-pattern.table-pattern" (cut at its last dot) matches both names. Each part
// is a literal name, "*", or an ECMAScript expression matched against the whole name; an invalid
// expression that is reached throws std::regex_error.
bool StrRegexMatch(const std::vector<std::string>& dump_tables, const std::string& schema, const std::string& table,
                   bool isOstrel);

}  // namespace ostrel
