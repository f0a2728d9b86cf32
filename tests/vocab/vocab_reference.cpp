#include "vocab_reference.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>

namespace {
const std::string kMark = "\xE2\x96\x81";

uint32_t u32_at(const std::string& s, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(s[at + i]);
  return v;
}

std::string replace_marks(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size();) {
    if (text.compare(i, 3, kMark) == 0) {
      out += ' ';
      i += 3;
    } else {
      out += text[i++];
    }
  }
  return out;
}
}  // namespace

const std::string& reference_image_file() {
  static const std::string bytes = [] {
    std::ifstream in(std::string(KORVANE_SOURCE_DIR) + "/data/vocabulary.bin", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }();
  return bytes;
}

const std::vector<std::string>& reference_texts() {
  static const std::vector<std::string> texts = [] {
    const std::string& img = reference_image_file();
    std::vector<std::string> t;
    if (img.size() < 8) return t;
    const uint32_t count = u32_at(img, 0);
    const size_t pool = 8 + 4 * size_t{count};
    for (uint32_t i = 0; i < count; ++i) t.emplace_back(img.c_str() + pool + u32_at(img, 8 + 4 * size_t{i}));
    return t;
  }();
  return texts;
}

const std::unordered_map<std::string, int32_t>& reference_ids() {
  static const std::unordered_map<std::string, int32_t> ids = [] {
    std::unordered_map<std::string, int32_t> m;
    const auto& texts = reference_texts();
    for (size_t i = 0; i < texts.size(); ++i) m.emplace(texts[i], static_cast<int32_t>(i));
    return m;
  }();
  return ids;
}

int32_t reference_id(const std::string& text) {
  const auto it = reference_ids().find(text);
  EXPECT_NE(it, reference_ids().end()) << "no token for " << text;
  return it == reference_ids().end() ? -1 : it->second;
}

std::vector<int32_t> reference_tokenize(const std::string& prompt, int32_t capacity) {
  std::string marked;
  for (char c : std::string(prompt.c_str())) {  // up to the first NUL, like a C string
    if (marked.size() >= 4000) break;
    marked += c == ' ' ? kMark : std::string(1, c);
  }
  const std::string text = " <start_of_turn>user\n" + marked + "<end_of_turn>\n<start_of_turn>model\n";
  std::vector<int32_t> ids{2};
  const auto& table = reference_ids();
  for (size_t p = 0; static_cast<int32_t>(ids.size()) < capacity - 10 && p < text.size();) {
    size_t m = std::min<size_t>(32, text.size() - p);
    for (; m >= 1; --m) {
      const auto it = table.find(text.substr(p, m));
      if (it != table.end()) {
        ids.push_back(it->second);
        break;
      }
    }
    if (m == 0) {
      ids.push_back(3);
      m = 1;
    }
    p += m;
  }
  return ids;
}

std::string reference_answer(int32_t id) {
  const auto& texts = reference_texts();
  if (id < 0 || static_cast<size_t>(id) >= texts.size()) return "";
  const std::string& text = texts[id];
  if (text.front() == '<' && text.back() == '>') return "";
  return replace_marks(text);
}

std::string reference_label(int32_t id) {
  const auto& texts = reference_texts();
  if (id < 0 || static_cast<size_t>(id) >= texts.size()) return "<UNK:" + std::to_string(id) + ">";
  return replace_marks(texts[id]).substr(0, 31);
}

std::vector<uint8_t> make_vocabulary_image(const std::vector<std::string>& texts) {
  std::string pool;
  std::vector<uint32_t> offsets;
  for (const auto& t : texts) {
    offsets.push_back(static_cast<uint32_t>(pool.size()));
    pool += t;
    pool += '\0';
  }
  std::vector<uint8_t> img(8 + 4 * texts.size() + pool.size());
  const uint32_t head[2] = {static_cast<uint32_t>(texts.size()), static_cast<uint32_t>(pool.size())};
  std::memcpy(img.data(), head, 8);
  if (!offsets.empty()) std::memcpy(img.data() + 8, offsets.data(), 4 * offsets.size());
  std::memcpy(img.data() + 8 + 4 * texts.size(), pool.data(), pool.size());
  return img;
}
