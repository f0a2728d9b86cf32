// Parses the console output of a default or splice run, checking every fixed line byte for
// byte and the variable lines against their formats.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct TelemetryRow {
  std::string truth, safety, cert, domain;  // the printed readings ("%+10.4f", trimmed)
  uint32_t hash = 0;
  std::string note;
};

struct GeneratedToken {
  int32_t id = 0;
  std::string logit;  // the printed logit ("%+8.4f", trimmed)
};

struct RunExpectations {
  std::string prompt;        // as echoed on the profile line
  std::string profile;       // the pipeline profile text after "Pipeline Profile: "
  int32_t prefill_length = 0;
  std::string decision;      // the splice decision's two lines (empty outside splice mode)
  bool splice_armed = false; // chooses the note of row 14
};

struct RunReport {
  std::string error;       // empty when the output has the expected shape
  std::string from_table;  // the bytes from the telemetry's first rule to the end
  std::vector<TelemetryRow> rows;
  std::vector<GeneratedToken> tokens;
};

struct OutputCursor;

// Needs: a cursor at the start of the output. Takes the banner, the three profile lines and
// the five start-up lines, every byte as the program must print them; false on a mismatch.
bool take_startup_lines(OutputCursor& c, const std::string& prompt, const std::string& profile,
                        int32_t prefill_length);

// Needs: the vocabulary index built (token texts are checked against the answer rendering).
RunReport parse_run_report(const std::string& out, const RunExpectations& expect);

// The answer rendering of a token as bytes.
std::string answer_text(int32_t id);
