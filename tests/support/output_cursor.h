// Reads a program's output front to back: exact texts, whole lines matched by a pattern.
#pragma once

#include <regex>
#include <string>

struct OutputCursor {
  const std::string& text;
  size_t at = 0;

  explicit OutputCursor(const std::string& t) : text(t) {}

  // True (and advances) when the text continues with `literal`.
  bool take(const std::string& literal) {
    if (text.compare(at, literal.size(), literal) != 0) return false;
    at += literal.size();
    return true;
  }

  // True (and advances past the newline) when the next line matches `pattern` whole;
  // groups land in m.
  bool take_line(const std::regex& pattern, std::smatch& m) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) return false;
    line = text.substr(at, end - at);
    if (!std::regex_match(line, m, pattern)) return false;
    at = end + 1;
    return true;
  }

  // True (and advances) when the text continues with a match of `pattern`, which may span
  // lines; groups land in m (iterators into the text).
  bool take_match(const std::regex& pattern, std::match_results<std::string::const_iterator>& m) {
    if (!std::regex_search(text.begin() + static_cast<std::ptrdiff_t>(at), text.end(), m, pattern,
                           std::regex_constants::match_continuous))
      return false;
    at += static_cast<size_t>(m.length(0));
    return true;
  }

  // The rest of the output from the current position, for failure messages.
  std::string rest(size_t max = 400) const { return text.substr(at, max); }

  bool done() const { return at == text.size(); }

 private:
  std::string line;  // keeps the last matched line alive for the smatch
};
