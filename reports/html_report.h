// The HTML report of a run (--report): one self-contained page holding the run's records as
// one JSON object, the chart library, the page's script that draws them and its style sheet.
#pragma once

#include <string>
#include <vector>

// What the page's header says about the run beyond what the records hold.
struct ReportRun {
  std::string mode;                      // "default", "splice", "audit" or "audit_all"
  std::string prompt_file;               // --prompts FILE, or empty for the command line's prompt
  double wall_seconds = 0;               // from start-up to the end of the last prompt
  std::vector<std::string> axis_names;   // the probe in use, in its order (the records' keys)
  std::vector<std::string> axis_labels;  // the telemetry header's texts for them
  std::string gate_axis;                 // the splice decision's axis (its record's "domain")
  std::string truth_axis;                // the splice line's Truth axis (its record's "truth")
};

// Needs: each record is a complete JSON object (record_line), run_json the records' "run"
// object. Returns {"report": {...run..., gate_axis, truth_axis}, "run": ..., "records": [...]} as JSON text.
std::string report_data_json(const std::vector<std::string>& records, const std::string& run_json,
                             const ReportRun& run);

// JSON text that can stand inside a <script> element: every '<', '>' and '&' (which JSON has
// only inside strings) written as a \u escape, so no text of the data can end the element.
std::string script_safe_json(const std::string& json);

// The whole page: the data (made script-safe here), the embedded library, script and style.
std::string report_html(const std::string& data_json);

// Why the page could never be written to path (a directory, or a folder that does not exist),
// for refusing it before the run; "" when it may be.
std::string report_path_refusal(const std::string& path);

// Writes bytes to path through a temporary file beside it and a rename, so path holds either
// its old content or the whole page. Returns "" or why it failed (the temporary file removed).
std::string write_report_file(const std::string& path, const std::string& bytes);
