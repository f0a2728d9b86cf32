// Strict reading of JSON documents (safetensors headers, a checkpoint's shard index and config.json)
// with the project's JSON library. Beyond the grammar: a key twice in one object is an error
// (a header naming a tensor twice must not pass silently), a byte-order mark is refused,
// nesting and the number of values are bounded, and nothing throws. Objects keep document
// order. Non-negative integers that fit are exact u64 (is_number_unsigned()), since byte
// offsets of large checkpoints pass 2^53; other numbers are i64 or double.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

using Json = nlohmann::ordered_json;

// Most values one document may hold. Each costs about a hundred bytes however short its text,
// so this, not the text's length, bounds the tree's memory (about 30 MB); a real header holds
// a few thousand.
inline constexpr uint64_t kMaxJsonValues = 1u << 18;
inline constexpr size_t kMaxJsonDepth = 64;  // containers around the innermost value

// Needs: text of a whole document. Fills *out and returns true, or returns false with a short
// one-line reason in *err (invalid syntax with its line and column, nesting over kMaxJsonDepth,
// more than kMaxJsonValues values, duplicate key, trailing text).
bool parse_json(std::string_view text, Json* out, std::string* err);

// Needs: v is any value. Returns the member named key of an object, or nullptr.
const Json* json_member(const Json& v, std::string_view key);
