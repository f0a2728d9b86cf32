#include "reports/html_report.h"

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <system_error>

#include <unistd.h>

#include <nlohmann/json.hpp>

// The embedded assets (report_assets_embed.S), each with its length in bytes.
extern "C" {
extern const char report_charts_bytes[];
extern const uint64_t report_charts_length;
extern const char report_page_script_bytes[];
extern const uint64_t report_page_script_length;
extern const char report_page_style_bytes[];
extern const uint64_t report_page_style_length;
}

std::string report_data_json(const std::vector<std::string>& records, const std::string& run_json,
                             const ReportRun& run) {
  using Json = nlohmann::ordered_json;
  Json report;
  report["mode"] = run.mode;
  report["prompt_file"] = run.prompt_file.empty() ? Json() : Json(run.prompt_file);
  report["wall_seconds"] = run.wall_seconds;
  report["axes"] = run.axis_names;
  report["axis_labels"] = run.axis_labels;
  report["gate_axis"] = run.gate_axis;
  report["truth_axis"] = run.truth_axis;
  std::string out = "{\"report\":";
  out += report.dump(-1, ' ', false, Json::error_handler_t::replace);
  out += ",\"run\":";
  out += run_json;
  out += ",\"records\":[";
  for (size_t i = 0; i < records.size(); i++) {
    if (i > 0) out += ',';
    out += records[i];
  }
  out += "]}";
  return out;
}

std::string script_safe_json(const std::string& json) {
  std::string out;
  out.reserve(json.size());
  for (char c : json) {
    if (c == '<') {
      out += "\\u003c";
    } else if (c == '>') {
      out += "\\u003e";
    } else if (c == '&') {
      out += "\\u0026";
    } else {
      out += c;
    }
  }
  return out;
}

std::string report_html(const std::string& data_json) {
  std::string page;
  page.reserve(report_charts_length + data_json.size() + 65536);
  page += "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n";
  // Opened from disk it may reach nothing: every script and style is inline, images are data.
  page += "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
          "script-src 'unsafe-inline' 'unsafe-eval'; style-src 'unsafe-inline'; img-src data:\">\n";
  page += "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n";
  page += "<title>korvane report</title>\n<style>\n";
  page.append(report_page_style_bytes, report_page_style_length);
  page += "</style>\n";
  // Caught from the first script on, so a failing library shows on the page and in its result.
  page += "<script>window.korvaneErrors=[];window.addEventListener('error',function(e){"
          "window.korvaneErrors.push(String(e.message||e.type));});"
          "document.addEventListener('securitypolicyviolation',function(e){"
          "window.korvaneErrors.push('blocked: '+e.blockedURI);});</script>\n";
  page += "</head>\n<body>\n<main id=\"report\"></main>\n";
  page += "<script type=\"application/json\" id=\"korvane-data\">";
  page += script_safe_json(data_json);
  page += "</script>\n<script>\n";
  page.append(report_charts_bytes, report_charts_length);
  page += "</script>\n<script>\n";
  page.append(report_page_script_bytes, report_page_script_length);
  page += "</script>\n</body>\n</html>\n";
  return page;
}

std::string report_path_refusal(const std::string& path) {
  // From UTF-8 bytes, so the names are right on Windows too (the stream opens wide names there).
  const std::filesystem::path target(std::u8string(path.begin(), path.end()));
  std::error_code ec;
  if (std::filesystem::is_directory(target, ec)) return "it is a directory";
  const std::filesystem::path folder = target.parent_path();
  if (!folder.empty() && !std::filesystem::is_directory(folder, ec)) return "its folder does not exist";
  return "";
}

std::string write_report_file(const std::string& path, const std::string& bytes) {
  const std::string refusal = report_path_refusal(path);
  if (!refusal.empty()) return refusal;
  const std::filesystem::path target(std::u8string(path.begin(), path.end()));
  std::error_code ec;
  std::string hidden = ".";  // built in steps: g++ 12 warns falsely on one long concatenation here
  hidden += target.filename().string();
  hidden += ".partial-";
  hidden += std::to_string(getpid());
  const std::filesystem::path temp = target.parent_path() / hidden;
  std::ofstream out(temp, std::ios::binary | std::ios::trunc);
  if (!out) return "cannot create a file beside it: " + std::error_code(errno, std::generic_category()).message();
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) {
    std::filesystem::remove(temp, ec);
    return "cannot write its bytes";
  }
  std::filesystem::rename(temp, target, ec);
  if (ec) {
    std::error_code ignored;
    std::filesystem::remove(temp, ignored);
    return "cannot put it in place: " + ec.message();
  }
  return "";
}
