// A small JSON reader for the headers of the checkpoint files: a document becomes a tree of
// plain values. Integers are kept exactly as u64 when they are non-negative and fit, since
// byte offsets of large checkpoints pass 2^53. Duplicate keys in one object are an error: a
// header naming a tensor twice must not pass silently.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct JsonMember;

struct JsonValue {
  enum class Kind : uint8_t { null, boolean, number, string, array, object };
  Kind kind = Kind::null;
  bool boolean = false;
  bool is_uint = false;  // number is a non-negative integer that fits u64 (then `uint` holds it)
  uint64_t uint = 0;
  double number = 0;
  std::string string;
  std::vector<JsonValue> items;                             // array elements
  std::vector<JsonMember> members;  // object members in document order
};

// One member of an object. A struct of its own (not std::pair), so that JsonValue can hold a
// vector of members before the type is complete.
struct JsonMember {
  std::string key;
  JsonValue value;
};

// Most values one document may hold. Each costs about a hundred bytes however short its text,
// so this, not the text's length, bounds the tree's memory (about 30 MB); a real header holds
// a few thousand.
inline constexpr uint64_t kMaxJsonValues = 1u << 18;

// Needs: text of a whole document. Fills *out and returns true, or returns false with a short
// reason and byte position in *err (invalid syntax, nesting over 64, more than kMaxJsonValues
// values, duplicate key, trailing text).
bool parse_json(std::string_view text, JsonValue* out, std::string* err);

// Needs: v is any value. Returns the member named key of an object, or nullptr.
const JsonValue* json_member(const JsonValue& v, std::string_view key);
