#include "driver/prompt_file.h"

#include <cerrno>
#include <cstdio>

#include "driver/run_options.h"
#include "platform/utf8.h"

std::string prompt_refusal(const std::string& text) {
  if (text.empty()) return "the prompt is empty";
  if (text.find('\0') != std::string::npos) return "the prompt holds a NUL character";
  if (text.size() > kPromptCapacity - 1) {
    return "the prompt is " + std::to_string(text.size()) + " bytes, over the limit of " +
           std::to_string(kPromptCapacity - 1);
  }
  return "";
}

namespace {
bool blank(const std::string& s) { return s.find_first_not_of(" \t") == std::string::npos; }

void read_json_line(const std::string& line, PromptLine* p) {
  if (!utf8_valid(line.data(), line.size())) {
    p->error = "the line is not UTF-8";
    return;
  }
  const nlohmann::json value = nlohmann::json::parse(line, nullptr, false);
  if (value.is_discarded()) {
    p->error = "the line is not valid JSON";
    return;
  }
  const auto prompt = value.is_object() ? value.find("prompt") : value.end();
  if (!value.is_object() || prompt == value.end() || !prompt->is_string()) {
    p->error = "the line is not a JSON object with a \"prompt\" string";
    return;
  }
  p->text = prompt->get<std::string>();
  const auto id = value.find("id");
  if (id != value.end()) {
    if (!id->is_string() && !id->is_number()) {
      p->error = "the \"id\" is neither a string nor a number";
      return;
    }
    p->id = *id;
  }
  p->error = prompt_refusal(p->text);
}
}  // namespace

std::vector<PromptLine> parse_prompt_file(const std::string& bytes) {
  const size_t start = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;  // a byte-order mark
  const size_t first = bytes.find_first_not_of(" \t\r\n", start);
  const bool json_lines = first != std::string::npos && bytes[first] == '{';
  std::vector<PromptLine> lines;
  int64_t line_number = 0;
  for (size_t at = start; at < bytes.size();) {
    size_t end = bytes.find('\n', at);
    if (end == std::string::npos) end = bytes.size();
    std::string line = bytes.substr(at, end - at);
    at = end + 1;
    line_number++;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (blank(line)) continue;
    PromptLine p{static_cast<int64_t>(lines.size()), line_number, nullptr, {}, {}};
    if (json_lines) {
      read_json_line(line, &p);
    } else {
      p.text = line;
      p.error = prompt_refusal(line);
    }
    lines.push_back(std::move(p));
  }
  return lines;
}

bool read_whole_file(const char* path, std::string* bytes, unsigned long* error) {
  FILE* f = fopen(path, "rb");
  if (!f) {
    *error = static_cast<unsigned long>(errno);
    return false;
  }
  char chunk[65536];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) bytes->append(chunk, n);
  const bool ok = !ferror(f);
  *error = ok ? 0 : static_cast<unsigned long>(errno);
  fclose(f);
  return ok;
}
