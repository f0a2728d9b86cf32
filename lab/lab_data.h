// What the lab's data commands share: their arguments, the JSON Lines data file, and the engine
// that runs its prompts without the console.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "driver/startup.h"
#include "platform/strict_json.h"

// The arguments of a data command (--tokenizer greedy|model as korvane takes it); a flag's field stays empty or false when it is not given.
struct LabArgs {
  std::string data;     // --data FILE
  std::string out;      // -o FILE
  std::string weights;  // --weights / -m PATH; empty: the usual two places
  std::string json;     // --json FILE (train-probe)
  bool unit = false;    // --unit (make-vector)
  bool model_tokenizer = false;  // --tokenizer model (greedy: the default)
};

// Needs: the command's arguments; `extra` lists the flags it takes beyond --data, -o and
// --weights ("--json", "--unit"). Returns "" or a one-line usage reason.
std::string parse_lab_args(int argc, char** argv, const std::vector<std::string>& extra, LabArgs* out);

// One non-blank line of a data file: its 1-based number and the JSON object it holds.
struct DataLine {
  int64_t line;
  Json value;
};

// Needs: a path. Reads the file's lines ("\r\n" taken, blank lines skipped); each must be UTF-8
// and one JSON object (no key twice). Returns "" or "PATH line N: reason" (or why the file
// cannot be read); refuses a file without any line.
std::string read_data_lines(const std::string& path, std::vector<DataLine>* out);

// Needs: a data line. The string member `key` as a prompt the program can run, into *prompt;
// "" or "PATH line N: reason".
std::string data_prompt(const std::string& path, const DataLine& d, const char* key, std::string* prompt);

// Starts the engine for a data command (no console report); prints the reason and returns false
// when it cannot.
bool start_lab_engine(System* sys, const LabArgs& args);

// Needs: the engine started. Runs every prompt through the 18 layers, in order, copying what
// each row reads into normed[i] and the residual stream after each layer into residual[i]
// (f32 [n][18][2048] each; either may be null), with a progress line on standard error.
void run_lab_prompts(System* sys, const std::vector<std::string>& prompts, float* normed, float* residual);
