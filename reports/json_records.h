// The records of a run as JSON Lines: one object per prompt, every number the console report
// prints (and the few it cannot show), for programs that analyse many runs.
#pragma once

#include <cstdint>
#include <cstdio>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "reports/records.h"

// What every record says about the program and machine that made it.
struct RunInfo {
  std::string version;
  std::string kernels;       // "AVX2" or "AVX-512"
  unsigned threads;          // the main thread and the workers
  std::string weights_path;  // as the program opened it
  uint64_t weights_size;
  std::vector<std::pair<std::string, float>> control_vectors = {};  // --control-vector: each file and its scale
  std::vector<int> steered_layers = {};                             // the layers they steer
};

// One prompt's record; the pointers are null where the mode has no such part.
struct PromptRecord {
  int64_t index = 0;             // position among the prompt file's prompts, or 0
  int64_t line = 0;              // 1-based line in the prompt file; 0 for the command line
  nlohmann::json id;             // the prompt's id (string or number), or null
  std::string prompt;            // as it was run (or as read, for a refused line)
  const char* mode = "default";  // "default", "splice" or "audit"
  const int32_t* prefill_ids = nullptr;
  int32_t prefill_count = 0;
  bool truncated = false;        // a limit cut the prompt
  const Telemetry* telemetry = nullptr;
  const Answer* answer = nullptr;
  const SpliceDecision* splice = nullptr;
  const Audit* audit = nullptr;
  const SteeringGate* gate = nullptr;  // gated steering's decision
  const AuditAll* audit_all = nullptr;  // --audit-all
  const Lens* lens = nullptr;           // --lens K
  std::string error;             // non-empty: the prompt was refused, and this says why
};

// Needs: the vocabulary index built (token texts). Returns the record as one line of JSON
// without the line end: floats rounded to 9 significant digits, non-finite ones null, text
// that is not UTF-8 given with U+FFFD and again as hex in a "<name>_hex" field.
std::string record_line(const PromptRecord& r, const RunInfo& run);

// The "run" object every record holds, as JSON text.
std::string run_json(const RunInfo& run);

// The state file's account of one prompt that ran: {"index", "id", "prompt"} as its record has
// them, as JSON text.
std::string state_prompt_json(const PromptRecord& r);

// Writes line and a line end, then flushes; false when any of it failed.
bool write_record_line(FILE* out, const std::string& line);

// What a records file already holds, for resuming a run.
struct KeptRecords {
  std::set<int64_t> indexes;  // the prompt indexes with a complete record
  size_t keep_bytes = 0;      // the complete lines' bytes; what follows is a cut last line
  int64_t bad_line = 0;       // 1-based number of a complete line that is no record, or 0
};

// Needs: the file's bytes. Every line that ends with a line end must be a JSON object with an
// integer "index"; a last line without its end (a run stopped while writing it) is left out.
KeptRecords kept_records(const std::string& text);
