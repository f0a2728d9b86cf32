#include "platform/strict_json.h"

#include <unordered_set>
#include <vector>

namespace {

// Builds the tree from the library's parse events, refusing what its grammar alone allows.
// A false return stops the parse at once, so a limit is met before any more is held.
struct StrictBuilder {
  struct Open {
    Json* value;                           // an array or object being filled
    std::unordered_set<std::string> keys;  // an object's keys so far
  };
  Json* root;
  std::string* err;
  std::vector<Open> open = {};  // outermost first
  Json* slot = nullptr;    // the member the last key named, awaiting its value
  uint64_t values = 0;

  bool fail(std::string why) {
    *err = std::move(why);
    return false;
  }
  // Puts v where the document places it and returns it there; nullptr past a limit. Pointers
  // held in `open` stay valid: a container grows only after its open child has ended.
  Json* place(Json v) {
    if (open.size() > kMaxJsonDepth) {
      fail("nesting deeper than " + std::to_string(kMaxJsonDepth) + " levels");
      return nullptr;
    }
    if (++values > kMaxJsonValues) {
      fail("more than " + std::to_string(kMaxJsonValues) + " values");
      return nullptr;
    }
    if (open.empty()) return &(*root = std::move(v));
    Json* top = open.back().value;
    if (!top->is_array()) return &(*slot = std::move(v));
    top->get_ref<Json::array_t&>().push_back(std::move(v));
    return &top->back();
  }
  bool scalar(Json v) { return place(std::move(v)) != nullptr; }
  bool begin(Json v) {
    Json* c = place(std::move(v));
    if (c) open.push_back({c, {}});
    return c != nullptr;
  }

  // The library's SAX interface.
  bool null() { return scalar(nullptr); }
  bool boolean(bool b) { return scalar(b); }
  bool number_integer(int64_t n) { return scalar(n); }
  bool number_unsigned(uint64_t n) { return scalar(n); }
  bool number_float(double x, const std::string&) { return scalar(x); }
  bool string(std::string& s) { return scalar(std::move(s)); }
  bool binary(Json::binary_t&) { return fail("binary value"); }  // never raised by JSON text
  bool start_object(size_t) { return begin(Json::object()); }
  bool start_array(size_t) { return begin(Json::array()); }
  bool end_container() {
    open.pop_back();
    return true;
  }
  bool end_object() { return end_container(); }
  bool end_array() { return end_container(); }
  bool key(std::string& k) {
    Open& top = open.back();
    if (!top.keys.insert(k).second) return fail("duplicate key \"" + k + "\"");
    // Appended directly: the object's own insert searches its members, quadratic in a large
    // object, and the set above already rules out a repeat.
    Json::object_t& members = top.value->get_ref<Json::object_t&>();
    members.emplace_back(std::move(k), nullptr);
    slot = &members.back().second;
    return true;
  }
  // The library's reason with its line and column, without its code and the token last read,
  // and cut short: a number that overflows a double is quoted whole, however long.
  bool parse_error(size_t, const std::string& last_token, const nlohmann::json::exception& e) {
    std::string why = e.what();
    if (size_t code_end = why.find("] "); code_end != std::string::npos) why.erase(0, code_end + 2);
    const std::string read = "; last read: '" + last_token + "'";
    if (size_t at = why.find(read); at != std::string::npos) why.erase(at, read.size());
    if (why.size() > 200) why = why.substr(0, 200) + "...";
    return fail(why);
  }
};

}  // namespace

bool parse_json(std::string_view text, Json* out, std::string* err) {
  *out = Json();
  // The library skips a UTF-8 byte-order mark; JSON text has none.
  if (text.substr(0, 3) == "\xEF\xBB\xBF") {
    *err = "a byte-order mark at the start";
    return false;
  }
  StrictBuilder b{out, err};
  return Json::sax_parse(text.begin(), text.end(), &b);
}

const Json* json_member(const Json& v, std::string_view key) {
  auto it = v.find(key);
  return it == v.end() ? nullptr : &*it;
}
