// Run options and prompt, read from the command line once and read-only afterwards.
#pragma once

#include <cstddef>

#include "model/run_limits.h"

using limits::kArgCapacity;     // one argument: at most 1023 bytes
using limits::kBetaCapacity;    // the --beta value: at most 63 bytes
using limits::kPromptCapacity;  // at most 4095 bytes of UTF-8 plus the NUL

// "請問台灣加值型營業稅法定稅率是多少？", 54 bytes.
inline constexpr const char* kDefaultPrompt =
    "\xE8\xAB\x8B\xE5\x95\x8F\xE5\x8F\xB0\xE7\x81\xA3\xE5\x8A\xA0\xE5\x80\xBC\xE5\x9E\x8B\xE7\x87\x9F"
    "\xE6\xA5\xAD\xE7\xA8\x85\xE6\xB3\x95\xE5\xAE\x9A\xE7\xA8\x85\xE7\x8E\x87\xE6\x98\xAF\xE5\xA4\x9A"
    "\xE5\xB0\x91\xEF\xBC\x9F";

inline constexpr size_t kRefusalCapacity = 160;

// --control-vector FILE[:SCALE]: the file and its scale (1 when none is given).
inline constexpr int kMaxControlVectors = 16;
struct ControlVectorArg {
  char path[kArgCapacity];
  float scale;
};

struct RunOptions {
  bool audit_heads;
  bool splice_substitute;
  float beta;                     // strength of the splice's anchor direction, default 4.5
  char prompt[kPromptCapacity];   // prompt words joined by single spaces
  bool show_help;                 // --help or -h was given
  bool show_version;              // --version was given
  bool show_timings;              // --timings: the run's durations on stderr after the report
  char weights_path[kArgCapacity];  // --weights / -m PATH; empty: the usual two places
  int cut_arguments;              // prompt words longer than 1023 bytes, cut to their first 1023
  int dropped_arguments;          // prompt words left out because the prompt would pass 4095 bytes
  int prompt_words;               // prompt words given on the command line
  char prompts_path[kArgCapacity];  // --prompts FILE; empty: one prompt from the command line
  char json_path[kArgCapacity];   // --json FILE ("-": standard output); empty: no records
  char states_path[kArgCapacity];  // --states FILE: the hidden states (safetensors); empty: none
  char report_path[kArgCapacity];  // --report FILE: the HTML report, written when the run ends; empty: none
  int shard_index;                // --shard I/N: only the prompts whose index % N == I
  int shard_count;                // 0 without --shard
  bool resume;                    // --resume: keep the complete records already in the --json file
  bool show_progress;             // --progress, or --prompts: progress lines on stderr
  int unknown_options;            // "--name" words that are no option, kept as prompt text
  char unknown_option[kArgCapacity];  // the first of them
  char probe_path[kArgCapacity];  // --probe FILE: a probe file instead of the embedded probe; empty: embedded
  char gate_axis[kArgCapacity];   // --gate NAME: the splice's gate axis; empty: domain
  char truth_axis[kArgCapacity];  // --truth-axis NAME: the splice vector's axis; empty: truth
  char audit_axis[kArgCapacity];  // --audit-axis NAME: the audit's axis; empty: truth
  ControlVectorArg control_vectors[kMaxControlVectors];  // in command-line order, the order they are summed in
  int control_vector_count;
  int control_first_layer;        // --control-vector-layers A-B: only layers A .. B are steered
  int control_last_layer;         // (0 .. 17 without it)
  int gate_depth;                 // --gate-depth D: the steering gate reads after D layers; 0 without it (16)
  bool model_tokenizer;           // --tokenizer model: the model's merges; false: greedy (the default)
  bool tokenize_only;             // --tokenize: print each prompt's prefill ids and exit
  int audit_layer;                // --audit-layer L: the layer --audit-heads audits (default 14)
  bool audit_all;                 // --audit-all: every head of every layer (also sets audit_heads)
  bool ablate_mean;               // --ablate mean: heads replaced by their prompt mean, not zeros
  int lens;                       // --lens K: the top K tokens at every depth (1 .. 20); 0: none
  int batch;                      // --batch B: prompts of the file generating together (1 .. 64); 0: the default
  char refusal[kRefusalCapacity];  // why the command line cannot run, empty when it can
};

// Writes argument `index` (1 .. count-1) as NUL-terminated UTF-8 into buf of cap bytes,
// cut at the last whole character that fits; returns its length.
typedef size_t (*ArgReader)(void* source, int index, char* buf, size_t cap);

// Needs: the argument count (element 0 is the program) and a reader for the arguments.
// Writes opts: defaults, then the options and prompt words in order, then the default
// prompt if the prompt is still empty. A --beta value that is not a finite f32, or a
// --weights / -m without a path (or with one over 1023 bytes), leaves a one-line reason in
// refusal, as do a --prompts, --json, --shard, --probe, --gate, --truth-axis or --audit-axis
// without a valid value, prompt words beside --prompts, --shard or --resume without --prompts,
// --resume without a --json file, and --states with the audit (which has no telemetry) or '-';
// so do a --control-vector without a file, with a scale that is not a finite number or past the
// 16th, and a --control-vector-layers that is not A-B with 0 <= A <= B <= 17 or has no vector to limit;
// so do a --tokenizer that is not greedy or model and a --tokenize with --json, --states or --resume,
// an --audit-layer that is not 0 .. 17 or comes without --audit-heads (or with --audit-all),
// an --ablate other than zero or mean or without an audit, and a --lens that is not 1 .. 20 or
// comes with an audit. A --gate-depth outside 1 .. 18 or without gated steering is refused too,
// and a --batch that is not 1 .. 64 or comes without --prompts.
void parse_run_options(RunOptions* opts, int count, ArgReader read, void* source);

// True when --gate NAME comes with --control-vector: the vectors then steer only the prompts
// on which the gate axis reads above 0 after steering_gate_layers layers (16 by default).
bool steering_gated(const RunOptions& opts);
int steering_gate_layers(const RunOptions& opts);

// Most prompts of a --prompts file whose answers are generated together (about 11 MB of caches
// a prompt), and how many without --batch: one, so that each prompt's report comes as soon as it
// is done and a stopped run has lost at most the prompt it was on.
inline constexpr int kMaxBatch = 64;
inline constexpr int kDefaultBatch = 1;
// The prompts generating together in a --prompts run: --batch B, else the default.
int prompts_in_flight(const RunOptions& opts);
