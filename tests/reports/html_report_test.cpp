#include "reports/html_report.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "tests/support/temp_dir.h"

namespace {

size_t count_of(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) n++;
  return n;
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Texts that would end or open elements, quotes, comment openers and non-ASCII must reach the
// page's data unchanged and leave the page's four script elements as they are.
TEST(HtmlReport, HostileTextStaysInsideTheDataElement) {
  const std::vector<std::string> prompts = {
      "</script><script>alert(1)</script>", "\"quoted\" 'single' & <b>bold</b>", "<!--<script>", "</SCRIPT >",
      "\xE5\x8F\xB0\xE7\x81\xA3 \\u003c \\", ""};
  for (const std::string& prompt : prompts) {
    const nlohmann::json record = {{"index", 0}, {"prompt", prompt}, {"mode", "default"}};
    ReportRun run;
    run.mode = "default";
    run.prompt_file = prompt;
    run.axis_names = {"truth", "safety"};
    run.axis_labels = {"Truth (T)", "<S>"};
    run.gate_axis = "safety";
    run.truth_axis = "truth";
    const std::string page = report_html(report_data_json({record.dump()}, "{\"version\":\"0\"}", run));
    EXPECT_EQ(count_of(page, "<script"), 4u) << prompt;
    EXPECT_EQ(count_of(page, "</script>"), 4u) << prompt;
    const std::string open = "<script type=\"application/json\" id=\"korvane-data\">";
    const size_t begin = page.find(open) + open.size();
    const std::string text = page.substr(begin, page.find("</script>", begin) - begin);
    EXPECT_EQ(text.find_first_of("<>&"), std::string::npos) << prompt;
    const nlohmann::json data = nlohmann::json::parse(text);
    EXPECT_EQ(data["records"][0]["prompt"], prompt);
    EXPECT_EQ(data["report"]["prompt_file"], prompt.empty() ? nlohmann::json() : nlohmann::json(prompt));
    EXPECT_EQ(data["report"]["axis_labels"][1], "<S>");
    EXPECT_EQ(data["report"]["gate_axis"], "safety");
    EXPECT_EQ(data["report"]["truth_axis"], "truth");
    EXPECT_EQ(data["run"]["version"], "0");
  }
}

// The page appears whole or not at all: a failed write leaves no file behind.
TEST(HtmlReport, WriteIsWholeOrNothing) {
  TempDir dir;
  const std::string path = dir.file("r.html");
  EXPECT_EQ(write_report_file(path, "old"), "");
  EXPECT_EQ(write_report_file(path, "new page"), "");
  EXPECT_EQ(slurp(path), "new page");
  EXPECT_NE(write_report_file(dir.path, "x"), "");                    // a directory
  EXPECT_NE(write_report_file(dir.file("missing/r.html"), "x"), "");  // no such folder
  size_t entries = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir.path)) entries += e.path().filename() == "r.html" ? 0 : 1;
  EXPECT_EQ(entries, 0u);
}

}  // namespace
