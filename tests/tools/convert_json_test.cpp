// The JSON reader used for checkpoint headers: structure, exact integers, escapes, and the
// malformed documents it must refuse.
#include <gtest/gtest.h>

#include "tools/convert/json_value.h"

namespace {

JsonValue parse_ok(const std::string& text) {
  JsonValue v;
  std::string err;
  EXPECT_TRUE(parse_json(text, &v, &err)) << text << ": " << err;
  return v;
}

std::string parse_error(const std::string& text) {
  JsonValue v;
  std::string err;
  EXPECT_FALSE(parse_json(text, &v, &err)) << text;
  return err;
}

TEST(ConvertJson, HeaderShapedDocument) {
  JsonValue v = parse_ok(
      " {\"__metadata__\": {\"format\": \"pt\"},\n"
      "  \"model.norm.weight\": {\"dtype\": \"BF16\", \"shape\": [2048], \"data_offsets\": [0, 4096]}}   ");
  ASSERT_EQ(v.kind, JsonValue::Kind::object);
  ASSERT_EQ(v.members.size(), 2u);
  EXPECT_EQ(v.members[0].key, "__metadata__");  // document order is kept
  const JsonValue* t = json_member(v, "model.norm.weight");
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(json_member(*t, "dtype")->string, "BF16");
  const JsonValue* off = json_member(*t, "data_offsets");
  ASSERT_EQ(off->items.size(), 2u);
  EXPECT_TRUE(off->items[1].is_uint);
  EXPECT_EQ(off->items[1].uint, 4096u);
  EXPECT_EQ(json_member(*t, "missing"), nullptr);
  EXPECT_EQ(json_member(*off, "dtype"), nullptr);  // not an object
}

TEST(ConvertJson, IntegersStayExactBeyondDoublePrecision) {
  JsonValue v = parse_ok("[9007199254740993, 18446744073709551615, 18446744073709551616, -5, 1.5, 2e3, 0]");
  ASSERT_EQ(v.items.size(), 7u);
  EXPECT_TRUE(v.items[0].is_uint);
  EXPECT_EQ(v.items[0].uint, 9007199254740993ull);  // 2^53 + 1: a double would lose it
  EXPECT_EQ(v.items[1].uint, 18446744073709551615ull);
  EXPECT_FALSE(v.items[2].is_uint);  // does not fit u64
  EXPECT_FALSE(v.items[3].is_uint);
  EXPECT_EQ(v.items[3].number, -5.0);
  EXPECT_FALSE(v.items[4].is_uint);
  EXPECT_EQ(v.items[4].number, 1.5);
  EXPECT_FALSE(v.items[5].is_uint);  // written with an exponent: not a size
  EXPECT_EQ(v.items[5].number, 2000.0);
  EXPECT_TRUE(v.items[6].is_uint);
  EXPECT_EQ(v.items[6].uint, 0u);
}

TEST(ConvertJson, StringEscapesBecomeUtf8) {
  JsonValue v = parse_ok(R"(["a\"b\\c\/d\n\t", "\u00e9\u4e2d", "\ud83d\ude00", true, false, null])");
  EXPECT_EQ(v.items[0].string, "a\"b\\c/d\n\t");
  EXPECT_EQ(v.items[1].string, "\xC3\xA9\xE4\xB8\xAD");
  EXPECT_EQ(v.items[2].string, "\xF0\x9F\x98\x80");
  EXPECT_EQ(v.items[3].kind, JsonValue::Kind::boolean);
  EXPECT_TRUE(v.items[3].boolean);
  EXPECT_FALSE(v.items[4].boolean);
  EXPECT_EQ(v.items[5].kind, JsonValue::Kind::null);
  EXPECT_EQ(parse_ok("{}").members.size(), 0u);
  EXPECT_EQ(parse_ok("[]").items.size(), 0u);
}

TEST(ConvertJson, MalformedDocumentsAreRefusedWithTheirPosition) {
  EXPECT_NE(parse_error(R"({"a":1,"a":2})").find("duplicate key \"a\""), std::string::npos);
  EXPECT_NE(parse_error(R"({"a":1,})").find("expected key"), std::string::npos);
  EXPECT_NE(parse_error(R"([1,2,])").find("unexpected character"), std::string::npos);
  EXPECT_NE(parse_error(R"({"a":"unterminated})").find("unterminated string"), std::string::npos);
  EXPECT_NE(parse_error(R"({"a":1} x)").find("trailing text at byte 8"), std::string::npos);
  EXPECT_NE(parse_error("[01]").find("leading zero"), std::string::npos);
  EXPECT_NE(parse_error("[\"a\x01\"]").find("control character"), std::string::npos);
  EXPECT_NE(parse_error(R"(["\ud83d"])").find("lone surrogate"), std::string::npos);
  EXPECT_NE(parse_error(R"(["\x"])").find("bad escape"), std::string::npos);
  EXPECT_NE(parse_error("[tru]").find("invalid literal"), std::string::npos);
  EXPECT_NE(parse_error("").find("unexpected end"), std::string::npos);
  EXPECT_NE(parse_error("{\"a\" 1}").find("expected ':'"), std::string::npos);
  EXPECT_NE(parse_error("[1 2]").find("expected ',' or ']'"), std::string::npos);
  // Nesting is bounded: 64 levels pass, 66 do not.
  parse_ok(std::string(64, '[') + std::string(64, ']'));
  EXPECT_NE(parse_error(std::string(66, '[') + std::string(66, ']')).find("nesting too deep"), std::string::npos);
}

}  // namespace
