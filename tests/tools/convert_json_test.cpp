// The JSON reader used for checkpoint headers: structure, exact integers, escapes, and the
// malformed documents it must refuse.
#include <gtest/gtest.h>

#include "platform/strict_json.h"

namespace {

Json parse_ok(const std::string& text) {
  Json v;
  std::string err;
  EXPECT_TRUE(parse_json(text, &v, &err)) << text << ": " << err;
  return v;
}

std::string parse_error(const std::string& text) {
  Json v;
  std::string err;
  EXPECT_FALSE(parse_json(text, &v, &err)) << text;
  return err;
}

TEST(ConvertJson, HeaderShapedDocument) {
  Json v = parse_ok(
      " {\"model.norm.weight\": {\"dtype\": \"BF16\", \"shape\": [2048], \"data_offsets\": [0, 4096]},\n"
      "  \"__metadata__\": {\"format\": \"pt\"}}   ");
  ASSERT_TRUE(v.is_object());
  ASSERT_EQ(v.size(), 2u);
  EXPECT_EQ(v.begin().key(), "model.norm.weight");  // document order is kept, not sorted
  const Json* t = json_member(v, "model.norm.weight");
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(*json_member(*t, "dtype"), "BF16");
  const Json* off = json_member(*t, "data_offsets");
  ASSERT_EQ(off->size(), 2u);
  EXPECT_TRUE((*off)[1].is_number_unsigned());
  EXPECT_EQ((*off)[1].get<uint64_t>(), 4096u);
  EXPECT_EQ(json_member(*t, "missing"), nullptr);
  EXPECT_EQ(json_member(*off, "dtype"), nullptr);  // not an object
}

TEST(ConvertJson, IntegersStayExactBeyondDoublePrecision) {
  Json v = parse_ok("[9007199254740993, 18446744073709551615, 18446744073709551616, -5, 1.5, 2e3, 0, -0]");
  ASSERT_EQ(v.size(), 8u);
  EXPECT_TRUE(v[0].is_number_unsigned());
  EXPECT_EQ(v[0].get<uint64_t>(), 9007199254740993ull);  // 2^53 + 1: a double would lose it
  EXPECT_EQ(v[1].get<uint64_t>(), 18446744073709551615ull);
  EXPECT_FALSE(v[2].is_number_unsigned());  // does not fit u64
  EXPECT_FALSE(v[3].is_number_unsigned());
  EXPECT_EQ(v[3].get<double>(), -5.0);
  EXPECT_FALSE(v[4].is_number_unsigned());
  EXPECT_EQ(v[4].get<double>(), 1.5);
  EXPECT_FALSE(v[5].is_number_unsigned());  // written with an exponent: not a size
  EXPECT_EQ(v[5].get<double>(), 2000.0);
  EXPECT_TRUE(v[6].is_number_unsigned());
  EXPECT_EQ(v[6].get<uint64_t>(), 0u);
  EXPECT_FALSE(v[7].is_number_unsigned());
}

TEST(ConvertJson, StringEscapesBecomeUtf8) {
  Json v = parse_ok(R"(["a\"b\\c\/d\n\t", "\u00e9\u4e2d", "\ud83d\ude00", true, false, null])");
  EXPECT_EQ(v[0], "a\"b\\c/d\n\t");
  EXPECT_EQ(v[1], "\xC3\xA9\xE4\xB8\xAD");
  EXPECT_EQ(v[2], "\xF0\x9F\x98\x80");
  EXPECT_TRUE(v[3].is_boolean());
  EXPECT_TRUE(v[3].get<bool>());
  EXPECT_FALSE(v[4].get<bool>());
  EXPECT_TRUE(v[5].is_null());
  EXPECT_TRUE(parse_ok("{}").is_object() && parse_ok("{}").empty());
  EXPECT_TRUE(parse_ok("[]").is_array() && parse_ok("[]").empty());
}

TEST(ConvertJson, MalformedDocumentsAreRefusedWithTheirPosition) {
  const struct {
    std::string text;
    const char* reason;
  } cases[] = {
      {R"({"a":1,"a":2})", "duplicate key \"a\""},
      {R"({"x":{"a":1},"y":{"a":1,"b":{},"a":2}})", "duplicate key \"a\""},  // per object, at any depth
      {R"({"a":1,})", "column 8: syntax error while parsing object key - unexpected '}'; expected string literal"},
      {R"([1,2,])", "column 6: syntax error while parsing value - unexpected ']'"},
      {R"({"a":"unterminated})", "missing closing quote"},
      {R"({"a":1} x)", "line 1, column 9: syntax error while parsing value - invalid literal; expected end of input"},
      {"{}\n\n 2", "line 3, column 2:"},
      {"[01]", "column 3: syntax error while parsing array - unexpected number literal"},  // a leading zero
      {"[\"a\x01\"]", "control character U+0001"},
      {"[\"\xff\"]", "ill-formed UTF-8 byte"},
      {R"(["\ud83d"])", "surrogate U+D800..U+DBFF must be followed by U+DC00..U+DFFF"},
      {R"(["\x"])", "forbidden character after backslash"},
      {"[tru]", "invalid literal"},
      {"[1e400]", "number overflow parsing '1e400'"},
      {"", "unexpected end of input"},
      {"{\"a\" 1}", "expected ':'"},
      {"[1 2]", "expected ']'"},
      {"\xEF\xBB\xBF{}", "a byte-order mark at the start"},
      // Nesting is bounded: 64 levels pass (below), 66 do not.
      {std::string(66, '[') + std::string(66, ']'), "nesting deeper than 64 levels"},
  };
  for (const auto& c : cases) {
    std::string err = parse_error(c.text);
    EXPECT_NE(err.find(c.reason), std::string::npos) << c.text << ": " << err;
    EXPECT_EQ(err.find('\n'), std::string::npos) << err;
  }
  parse_ok(std::string(64, '[') + std::string(64, ']'));
  // A reason quoting a long token is cut short.
  EXPECT_LT(parse_error("[1" + std::string(100000, '0') + "]").size(), 300u);
}

}  // namespace
