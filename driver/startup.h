// Start-up: console, options, banner and profile, the five numbered steps, the context.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "driver/control_vectors.h"
#include "driver/prompt_file.h"
#include "driver/run_options.h"
#include "model/inference_context.h"
#include "model/run_limits.h"
#include "engine/kernel_images.h"
#include "engine/prompt_pass.h"
#include "engine/weights_file.h"
#include "engine/worker_pool.h"
#include "reports/json_records.h"
#include "reports/state_file.h"
#include "runs/telemetry_run.h"

using limits::kPromptIdCapacity;

// Everything start-up creates; lives until the process ends.
struct System {
  RunOptions opts;
  WeightsView weights;                  // the mapped weights file
  LoadedImages images;                  // executable copies of the two images
  WorkerPool pool;                      // job area and worker threads
  float* splice_buffer;                 // f32[2048], 64-byte aligned
  float* prompt_rows;                   // f32 [kPromptPassCapacity][2048]: the shared passes' states
  float* saved_rows;                    // f32 [kPromptPassCapacity][2048]: a snapshot of them
  float* block_work;                    // f32 [layer_block_work_floats(kMaxBlock)]: batched layer's work area
  InferenceContext ctx;                 // buffers and controls of the token step
  int32_t prompt_ids[kPromptIdCapacity];
  int32_t prefill_length;
  bool marking_cut;                     // the 4000-byte space-marking limit left the prompt's end out
  bool ids_cut;                         // the 246-id limit left the templated prompt's end out
  bool truncated;                       // any cut at all: an argument, the prompt, the ids
  double started;                       // when start-up began (seconds_now)
  char fault_line[kArgCapacity + 96];   // the fatal line for a weights file that shrinks in use
  char weights_used[kArgCapacity];      // the weights file's path as opened
  std::vector<PromptLine> prompts;      // --prompts: the file's lines
  FILE* records;                        // --json: where the records go, else null
  bool records_to_stdout;               // --json -: standard output carries only the records
  KeptRecords kept;                     // --resume: the records already in the file
  StateFile states;                     // --states: the file being written (spill -1 without)
  float* state_normed;                  // f32 [18][2048]: one prompt's states as its rows read them; null without --states
  float* state_residual;                // f32 [18][2048]: its residual stream after each layer; null without --states
  std::string state_prompts;            // --states: the prompts written, as JSON objects joined by ','
  ControlTable control;                 // --control-vector: the summed directions, every mode
  std::vector<std::string> report_records;  // --report: every prompt's record (JSON), in run order
};

// Prints "❌ [FATAL] " followed by the formatted message and a newline, then exits with 1.
// (On MinGW "printf" would check the system runtime's dialect; the program uses the C99 one.)
#if defined(__MINGW32__)
[[noreturn]] void fatal(const char* format, ...) __attribute__((format(gnu_printf, 1, 2)));
#else
[[noreturn]] void fatal(const char* format, ...) __attribute__((format(printf, 1, 2)));
#endif

// Needs: main's arguments. Runs the whole start-up; on a fatal condition prints its lines
// and exits with status 1; after --help or --version exits with status 0. Every cut of the
// prompt gets a warning on standard error and sets sys->truncated. With --prompts it reads the
// file and stops after the fourth step; with --json it opens the records (after --resume,
// without the cut last line a stopped run may have left); with --control-vector it reads and
// sums the files before anything else is loaded.
void start_up(System* sys, int argc, char** argv);

// Needs: start_up done with --prompts, the prompt of at most 4095 bytes in sys->opts.prompt.
// Prints its Input Prompt line and blank line, as the profile does.
void print_input_prompt(const System& sys);

// Needs: start_up done, the prompt in sys->opts.prompt. Tokenizes it (warning about cuts),
// prints the [5/5] line and resets the context for a run. start_up does this itself
// without --prompts.
void begin_prompt(System* sys);

// begin_prompt without its lines (the cut warnings and the [5/5] line), which the caller prints
// later with the two functions below.
void begin_prompt_quietly(System* sys);
// The warnings begin_prompt gives for the cuts its tokenization made.
void warn_prompt_cuts(bool marking_cut, bool ids_cut);
// The [5/5] line and blank line for a prompt of n prefill ids.
void print_prefill_length(int32_t n);

// Prints the fatal line for records that cannot be written (on standard error when standard
// output carries the records) and exits with status 1.
[[noreturn]] void records_failed(const System& sys);

// Needs: start_up done. What every record says about this run.
RunInfo run_info_of(const System& sys);

// Needs: start_up done. The shared passes over the prompt, on start-up's buffers.
PromptPass prompt_pass_of(System* sys);

// For korvane-lab's commands: start-up without the console. Needs: sys->opts defaults (as
// parse_run_options leaves them; the embedded probe unless probe_path is set). Builds the
// vocabulary index, maps the weights file (weights_path, or the usual two places when empty)
// and starts the engine. Returns "" or a one-line reason (lower case, no fatal mark).
std::string start_engine_quietly(System* sys, const char* weights_path);

// Needs: start_engine_quietly done; a prompt of 1 .. 4095 bytes with no NUL. Tokenizes it (with
// the usual cut warnings), runs the 18 layers over its positions in the shared pass and copies
// the states every telemetry row would read into `states`; no report. Returns the prefill length.
int32_t run_prompt_depths(System* sys, const std::string& prompt, const DepthStates& states);
