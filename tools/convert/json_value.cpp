#include "tools/convert/json_value.h"

#include <cmath>
#include <cstdlib>
#include <unordered_set>

namespace {

struct Parser {
  std::string_view s;
  size_t pos = 0;
  std::string* err;
  uint64_t values = 0;  // values begun so far

  bool fail(const std::string& why) {
    *err = why + " at byte " + std::to_string(pos);
    return false;
  }
  void skip_space() {
    while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\t' || s[pos] == '\n' || s[pos] == '\r')) pos++;
  }
  bool literal(std::string_view word) {
    if (s.substr(pos, word.size()) != word) return fail("invalid literal");
    pos += word.size();
    return true;
  }

  // Appends code point cp as UTF-8.
  static void put_utf8(std::string* out, uint32_t cp) {
    if (cp < 0x80) {
      out->push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  bool hex4(uint32_t* cp) {
    if (pos + 4 > s.size()) return fail("short \\u escape");
    uint32_t v = 0;
    for (int i = 0; i < 4; i++) {
      char c = s[pos++];
      v <<= 4;
      if (c >= '0' && c <= '9') v |= uint32_t(c - '0');
      else if (c >= 'a' && c <= 'f') v |= uint32_t(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F') v |= uint32_t(c - 'A' + 10);
      else return fail("bad \\u escape");
    }
    *cp = v;
    return true;
  }
  bool string(std::string* out) {
    pos++;  // opening quote
    for (;;) {
      if (pos >= s.size()) return fail("unterminated string");
      unsigned char c = static_cast<unsigned char>(s[pos]);
      if (c == '"') {
        pos++;
        return true;
      }
      if (c < 0x20) return fail("control character in string");
      if (c != '\\') {
        out->push_back(static_cast<char>(c));
        pos++;
        continue;
      }
      if (++pos >= s.size()) return fail("unterminated string");
      char e = s[pos++];
      switch (e) {
        case '"': out->push_back('"'); break;
        case '\\': out->push_back('\\'); break;
        case '/': out->push_back('/'); break;
        case 'b': out->push_back('\b'); break;
        case 'f': out->push_back('\f'); break;
        case 'n': out->push_back('\n'); break;
        case 'r': out->push_back('\r'); break;
        case 't': out->push_back('\t'); break;
        case 'u': {
          uint32_t cp = 0;
          if (!hex4(&cp)) return false;
          if (cp >= 0xD800 && cp < 0xDC00) {
            uint32_t lo = 0;
            if (s.substr(pos, 2) != "\\u") return fail("lone surrogate");
            pos += 2;
            if (!hex4(&lo)) return false;
            if (lo < 0xDC00 || lo >= 0xE000) return fail("bad surrogate pair");
            cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
          } else if (cp >= 0xDC00 && cp < 0xE000) {
            return fail("lone surrogate");
          }
          put_utf8(out, cp);
          break;
        }
        default: return fail("bad escape");
      }
    }
  }
  bool number(JsonValue* v) {
    size_t start = pos;
    if (s[pos] == '-') pos++;
    if (pos >= s.size() || !(s[pos] >= '0' && s[pos] <= '9')) return fail("bad number");
    if (s[pos] == '0' && pos + 1 < s.size() && s[pos + 1] >= '0' && s[pos + 1] <= '9') return fail("leading zero");
    while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') pos++;
    bool integral = true;
    if (pos < s.size() && s[pos] == '.') {
      integral = false;
      pos++;
      if (pos >= s.size() || !(s[pos] >= '0' && s[pos] <= '9')) return fail("bad number");
      while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') pos++;
    }
    if (pos < s.size() && (s[pos] == 'e' || s[pos] == 'E')) {
      integral = false;
      pos++;
      if (pos < s.size() && (s[pos] == '+' || s[pos] == '-')) pos++;
      if (pos >= s.size() || !(s[pos] >= '0' && s[pos] <= '9')) return fail("bad number");
      while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') pos++;
    }
    std::string text(s.substr(start, pos - start));
    v->kind = JsonValue::Kind::number;
    v->number = std::strtod(text.c_str(), nullptr);
    if (integral && text[0] != '-') {
      uint64_t u = 0;
      bool fits = true;
      for (char c : text) {
        uint64_t d = uint64_t(c - '0');
        if (u > (UINT64_MAX - d) / 10) fits = false;
        u = u * 10 + d;
      }
      v->is_uint = fits;
      v->uint = fits ? u : 0;
    }
    return true;
  }
  bool value(JsonValue* v, int depth) {
    if (depth > 64) return fail("nesting too deep");
    if (++values > kMaxJsonValues) return fail("more than " + std::to_string(kMaxJsonValues) + " values");
    skip_space();
    if (pos >= s.size()) return fail("unexpected end");
    char c = s[pos];
    if (c == '{') {
      v->kind = JsonValue::Kind::object;
      pos++;
      skip_space();
      if (pos < s.size() && s[pos] == '}') {
        pos++;
        return true;
      }
      std::unordered_set<std::string> seen;
      for (;;) {
        skip_space();
        if (pos >= s.size() || s[pos] != '"') return fail("expected key");
        std::string key;
        size_t key_at = pos;
        if (!string(&key)) return false;
        if (!seen.insert(key).second) {
          pos = key_at;
          return fail("duplicate key \"" + key + "\"");
        }
        skip_space();
        if (pos >= s.size() || s[pos] != ':') return fail("expected ':'");
        pos++;
        v->members.push_back(JsonMember{std::move(key), JsonValue{}});
        if (!value(&v->members.back().value, depth + 1)) return false;
        skip_space();
        if (pos < s.size() && s[pos] == ',') {
          pos++;
          continue;
        }
        if (pos < s.size() && s[pos] == '}') {
          pos++;
          return true;
        }
        return fail("expected ',' or '}'");
      }
    }
    if (c == '[') {
      v->kind = JsonValue::Kind::array;
      pos++;
      skip_space();
      if (pos < s.size() && s[pos] == ']') {
        pos++;
        return true;
      }
      for (;;) {
        v->items.emplace_back();
        if (!value(&v->items.back(), depth + 1)) return false;
        skip_space();
        if (pos < s.size() && s[pos] == ',') {
          pos++;
          continue;
        }
        if (pos < s.size() && s[pos] == ']') {
          pos++;
          return true;
        }
        return fail("expected ',' or ']'");
      }
    }
    if (c == '"') {
      v->kind = JsonValue::Kind::string;
      return string(&v->string);
    }
    if (c == 't') {
      v->kind = JsonValue::Kind::boolean;
      v->boolean = true;
      return literal("true");
    }
    if (c == 'f') {
      v->kind = JsonValue::Kind::boolean;
      return literal("false");
    }
    if (c == 'n') return literal("null");
    if (c == '-' || (c >= '0' && c <= '9')) return number(v);
    return fail("unexpected character");
  }
};

}  // namespace

bool parse_json(std::string_view text, JsonValue* out, std::string* err) {
  Parser p{text, 0, err};
  *out = JsonValue{};
  if (!p.value(out, 0)) return false;
  p.skip_space();
  if (p.pos != text.size()) return p.fail("trailing text");
  return true;
}

const JsonValue* json_member(const JsonValue& v, std::string_view key) {
  if (v.kind != JsonValue::Kind::object) return nullptr;
  for (const auto& m : v.members)
    if (m.key == key) return &m.value;
  return nullptr;
}
