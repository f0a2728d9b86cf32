#include "driver/startup.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "driver/banner.h"
#include "driver/probe_setup.h"
#include "reports/console_checks.h"
#include "reports/run_timings.h"
#include "driver/usage.h"
#include "engine/cpu_features.h"
#include "engine/rope_tables.h"
#include "model/weights_layout.h"
#include "platform/platform.h"
#include "reports/html_report.h"
#include "probe/probe.h"
#include "probe/splice_vector.h"
#include "vocab/merge_table.h"
#include "vocab/model_tokenizer.h"
#include "vocab/prompt_tokenizer.h"
#include "vocab/token_index.h"

void fatal(const char* format, ...) {
  FILE* to = fatal_stream();
  fputs("\xE2\x9D\x8C [FATAL] ", to);
  va_list args;
  va_start(args, format);
  vfprintf(to, format, args);
  va_end(args);
  fputc('\n', to);
  fflush(to);
  exit(1);
}

namespace {
size_t read_platform_arg(void* source, int index, char* buf, size_t cap) {
  return args_get_utf8(static_cast<const ArgList*>(source), index, buf, cap);
}

void print_profile(const RunOptions& opts, bool with_prompt) {
  printf("[*] Execution Mode  : Standalone Native Binary (Zero-Python, Zero-CUDA, Zero-Runtime)\n");
  if (opts.audit_all) {
    printf("[*] Pipeline Profile: Causal Attention Head Knockout Audit (All 18 Layers)\n");
  } else if (opts.audit_heads) {
    printf("[*] Pipeline Profile: Causal Attention Head Knockout Audit (Layer %d)\n", opts.audit_layer);
  } else if (opts.splice_substitute) {
    printf("[*] Pipeline Profile: Dynamic Orthogonal State Splicing Active (beta = %.2f)\n",
           static_cast<double>(opts.beta));
  } else {
    printf("[*] Pipeline Profile: Standard Baseline Forward Inference (Full Precision FP16)\n");
  }
  if (with_prompt) printf("[*] Input Prompt    : \"%s\"\n\n", opts.prompt);
}

const char* kind_name(FileKind kind) {
  switch (kind) {
    case FileKind::directory: return "a directory";
    case FileKind::fifo: return "a FIFO (named pipe)";
    case FileKind::socket: return "a socket";
    case FileKind::device: return "a device";
    default: return "not a regular file";
  }
}

// The line after the two open-failure lines: what the path named, or the system's own words
// for the error; nothing when the file is simply not there.
void print_open_failure_reason(const char* path, FileKind kind, unsigned long error) {
  if (kind != FileKind::regular) {
    printf("[*] %s is %s, not a regular file.\n", path, kind_name(kind));
  } else if (error != 2) {
    char text[256];
    system_error_text(error, text, sizeof text);
    printf("[*] %s: %s\n", path, text);
  }
}

// Notes the mapped file's path and the fatal line for a file that shrinks while mapped:
// another process may shorten it, and reading past its new end would otherwise kill the
// process without a word. False when the fault handler cannot be installed.
bool watch_weights(System* sys, const char* path) {
  snprintf(sys->weights_used, sizeof sys->weights_used, "%s", path);
  snprintf(sys->fault_line, sizeof sys->fault_line,
           "\xE2\x9D\x8C [FATAL] The weights file changed size while it was in use: %s\n", path);
  return report_mapping_faults(sys->weights.base, sys->weights.size, sys->fault_line);
}

// The weights file to map: the one given, else the first of the usual two places.
void weights_path_for(const char* given, char (&path)[kArgCapacity]) {
  if (given[0] != '\0') {
    snprintf(path, sizeof path, "%s", given);
  } else {
    choose_weights_path(path, sizeof path);
  }
}

void map_weights(System* sys) {
  char path[kArgCapacity];
  weights_path_for(sys->opts.weights_path, path);
  unsigned long error = 0;
  switch (open_weights(path, &sys->weights, &error)) {
    case WeightsStatus::ok:
      break;
    case WeightsStatus::open_failed:
      printf("\xE2\x9D\x8C [FATAL] Model weight file not found: %s (Error Code: %lu)\n", path, error);
      printf("[*] Please place official Google Gemma-2-2B-it FP16 weights ('gemma2b_fp16.bin') in this directory.\n");
      print_open_failure_reason(path, sys->weights.kind, error);
      exit(1);
    case WeightsStatus::map_failed:
      printf("\xE2\x9D\x8C [FATAL] MapViewOfFile failed, insufficient virtual memory address space!\n");
      exit(1);
    case WeightsStatus::truncated:
      fatal("Model weight file is truncated: %s (%llu bytes, expected at least %llu)", path,
            static_cast<unsigned long long>(sys->weights.size),
            static_cast<unsigned long long>(file_off::end));
  }
  if (!watch_weights(sys, path)) fatal("Cannot install the handler for faults in the weights mapping");
  printf("\xE2\x9C\x94 [3/5] Gemma-2B Model Core (4.3 GB) Mapped Successfully!\n");
}

template <typename T>
T* alloc_aligned(size_t bytes, const char* what) {
  void* p = aligned_alloc64(bytes);
  if (!p) fatal("Out of memory allocating the %s (%zu bytes)", what, bytes);
  return static_cast<T*>(p);
}

template <typename T>
T* alloc_pages(size_t bytes, const char* what) {
  void* p = pages_alloc(bytes);
  if (!p) fatal("Out of memory allocating the %s (%zu bytes)", what, bytes);
  return static_cast<T*>(p);
}

// The worker threads to start: one per further hardware thread, or as KORVANE_THREADS says
// (a total that counts the main thread) for people sharing a machine.
uint32_t choose_worker_count() {
  const char* setting = getenv("KORVANE_THREADS");
  uint32_t workers = 0;
  if (!worker_count_from_setting(setting, &workers)) {
    fatal("KORVANE_THREADS must be a whole number of threads from 1 to %u, not \"%s\"", kMaxThreads, setting);
  }
  return workers;
}

void start_engine(System* sys) {
  if (!load_kernel_images(&sys->images, ImageChoice::automatic)) fatal("Cannot allocate executable memory for the kernel images");
  const uint32_t workers = choose_worker_count();
  if (!start_worker_pool(sys->images.worker_start, workers, &sys->pool)) {
    fatal("Cannot start the worker threads (%u of %u started)", sys->pool.workers, workers);
  }
  InferenceContext& c = sys->ctx;
  const uint64_t cache_bytes = geom::kLayers * geom::kMaxPositions * geom::kKvDim * sizeof(float);
  c.hidden = alloc_aligned<float>(geom::kDim * sizeof(float), "hidden state");
  c.logits = alloc_aligned<float>(geom::kVocab * sizeof(float), "logits");
  c.scratch = alloc_aligned<float>(1 << 20, "scratch area");
  c.key_cache = alloc_pages<float>(cache_bytes, "key cache");
  c.value_cache = alloc_pages<float>(cache_bytes, "value cache");
  // The shared passes' states and the batched layer's work area (about 14 MB in all): made
  // here, since nothing is allocated once tokens run.
  sys->prompt_rows = alloc_aligned<float>(prompt_rows_bytes(), "prompt states");
  sys->saved_rows = alloc_aligned<float>(prompt_rows_bytes(), "saved prompt states");
  sys->block_work = alloc_aligned<float>(prompt_work_bytes(), "block work area");
  sys->splice_buffer = alloc_aligned<float>(geom::kDim * sizeof(float), "splice vector");
  build_splice_vector(sys->splice_buffer, sys->opts.beta,
                      reinterpret_cast<const uint16_t*>(sys->weights.base + file_off::embedding_table));
  build_rope_tables();
}

// Warns about the argument cuts the command-line pass made.
void warn_argument_cuts(const RunOptions& opts) {
  if (opts.cut_arguments > 0) {
    warn("Prompt cut: %d word(s) longer than %zu bytes kept only their first %zu bytes", opts.cut_arguments,
         kArgCapacity - 1, kArgCapacity - 1);
  }
  if (opts.dropped_arguments > 0) {
    warn("Prompt cut: %d word(s) left out, since the prompt would have passed %zu bytes", opts.dropped_arguments,
         kPromptCapacity - 1);
  }
}

// True when marking the prompt's spaces stops at its byte limit before the prompt's end.
bool marking_cuts(const char* prompt) {
  char marked[kMarkedPromptBytes];
  const int32_t written = mark_prompt_spaces(prompt, marked);
  size_t whole = 0;
  for (const char* p = prompt; *p != '\0'; ++p) whole += *p == ' ' ? 3 : 1;
  return static_cast<size_t>(written) < whole;
}

// Tokenizes the prompt, noting and warning about what its limits left out.
void tokenize_quietly(System* sys) {
  sys->marking_cut = marking_cuts(sys->opts.prompt);
  sys->prefill_length = sys->opts.model_tokenizer
                            ? tokenize_prompt_model(sys->opts.prompt, sys->prompt_ids, kPromptIdCapacity, &sys->ids_cut)
                            : tokenize_prompt(sys->opts.prompt, sys->prompt_ids, kPromptIdCapacity, &sys->ids_cut);
  sys->truncated = sys->opts.cut_arguments > 0 || sys->opts.dropped_arguments > 0 || sys->marking_cut || sys->ids_cut;
}

void tokenize(System* sys) {
  tokenize_quietly(sys);
  warn_prompt_cuts(sys->marking_cut, sys->ids_cut);
}
}  // namespace

void warn_prompt_cuts(bool marking_cut, bool ids_cut) {
  if (marking_cut) {
    warn("Prompt cut: only its first %d bytes (spaces marked) are tokenized; the rest is left out",
         kMarkedPromptStop);
  }
  if (ids_cut) {
    warn("Prompt cut: the tokens reached the limit of %d ids; the rest of the prompt and the chat "
         "template's closing turn markers are left out",
         kPromptIdCapacity - kOutputReserve);
  }
}

namespace {

// Builds the tables the chosen tokenizer reads.
void build_tokenizer(const RunOptions& opts) {
  build_token_index();
  if (opts.model_tokenizer && !build_merge_table()) fatal("The embedded merge table does not fit the vocabulary");
}

// Prints the prefill ids of the prompt in sys->opts.prompt as one line of decimal ids.
void print_prefill_ids(System* sys) {
  tokenize(sys);
  std::string line;
  for (int32_t i = 0; i < sys->prefill_length; ++i) {
    if (i > 0) line += ' ';
    line += std::to_string(sys->prompt_ids[i]);
  }
  line += '\n';
  fputs(line.c_str(), stdout);
}

// --tokenize: every prompt's prefill ids, one line each (an empty line for a refused line of
// the prompt file), then exits: 0, or 3 when lines were refused. The weights are never mapped.
[[noreturn]] void tokenize_and_exit(System* sys) {
  build_tokenizer(sys->opts);
  int status = 0;
  if (sys->opts.prompts_path[0] == '\0') {
    print_prefill_ids(sys);
  }
  for (const PromptLine& p : sys->prompts) {
    if (sys->opts.shard_count > 0 && p.index % sys->opts.shard_count != sys->opts.shard_index) continue;
    if (!p.error.empty()) {
      warn("Prompt %lld (line %lld) refused: %s", static_cast<long long>(p.index), static_cast<long long>(p.line),
           p.error.c_str());
      fputs("\n", stdout);
      status = 3;
      continue;
    }
    memcpy(sys->opts.prompt, p.text.c_str(), p.text.size() + 1);
    print_prefill_ids(sys);
  }
  stop_if_output_failed();
  exit(status);
}

void read_prompts(System* sys) {
  std::string bytes;
  unsigned long error = 0;
  if (!read_whole_file(sys->opts.prompts_path, &bytes, &error)) {
    char text[256];
    system_error_text(error, text, sizeof text);
    fatal("Cannot read the prompt file %s: %s", sys->opts.prompts_path, text);
  }
  sys->prompts = parse_prompt_file(bytes);
}

// True when the two paths name one file (the same text, or the same file through links).
bool same_file(const char* a, const char* b) {
  std::error_code error;
  return a[0] != '\0' && b[0] != '\0' && (strcmp(a, b) == 0 || std::filesystem::equivalent(a, b, error));
}

// Makes the --states file's spill file and the buffers one prompt's states are caught in. The
// file under the path is only replaced when the run ends.
void open_states(System* sys) {
  const char* path = sys->opts.states_path;
  const char* others[] = {sys->opts.prompts_path, sys->opts.json_path, sys->weights_used};
  for (const char* other : others) {
    if (same_file(path, other)) fatal("--states would overwrite %s", other);
  }
  const std::string why = state_file_open(&sys->states, path);
  if (!why.empty()) fatal("Cannot write the states file %s: %s", path, why.c_str());
  sys->state_normed = alloc_aligned<float>(kStateTensorBytes, "states");
  sys->state_residual = alloc_aligned<float>(kStateTensorBytes, "states");
}

// Stops the run before any work when the --report file would replace one of the run's own files.
void check_report_path(const System& sys) {
  const char* others[] = {sys.opts.prompts_path, sys.opts.json_path, sys.opts.states_path, sys.weights_used};
  for (const char* other : others) {
    if (same_file(sys.opts.report_path, other)) fatal("--report would overwrite %s", other);
  }
  const std::string why = report_path_refusal(sys.opts.report_path);
  if (!why.empty()) fatal("The report cannot be written to %s: %s", sys.opts.report_path, why.c_str());
}

// Opens the --json file: replaced, or after --resume kept up to its last complete record.
void open_records(System* sys) {
  const char* path = sys->opts.json_path;
  if (same_file(path, sys->opts.prompts_path)) {
    fatal("--json would overwrite the prompt file %s", path);
  }
  if (sys->opts.resume) {
    std::string bytes;
    unsigned long error = 0;
    if (read_whole_file(path, &bytes, &error)) {
      sys->kept = kept_records(bytes);
      if (sys->kept.bad_line > 0) {
        fatal("The records file %s has a line that is not a record (line %lld); --resume stops here", path,
              static_cast<long long>(sys->kept.bad_line));
      }
      std::error_code cut_error;
      if (sys->kept.keep_bytes < bytes.size()) std::filesystem::resize_file(path, sys->kept.keep_bytes, cut_error);
      if (cut_error) fatal("Cannot drop the cut last line of the records file %s: %s", path, cut_error.message().c_str());
    } else if (error != 2) {
      char text[256];
      system_error_text(error, text, sizeof text);
      fatal("Cannot read the records file %s: %s", path, text);
    }
  }
  sys->records = fopen(path, sys->opts.resume ? "ab" : "wb");
  if (!sys->records) {
    char text[256];
    system_error_text(static_cast<unsigned long>(errno), text, sizeof text);
    fatal("Cannot open the records file %s: %s", path, text);
  }
}

// Reads and sums the --control-vector files (a refused file is fatal), warning about what
// they leave out.
void load_control_vectors(System* sys) {
  std::vector<std::string> warnings;
  std::string err;
  const bool ok = build_control_table(sys->opts, &sys->control, &warnings, &err);
  for (const std::string& w : warnings) warn("%s", w.c_str());
  if (!ok) fatal("Control vector refused: %s", err.c_str());
}

// The profile's lines for the control vectors: each file and its scale, then the layers steered.
void print_control_vectors(const System& sys) {
  for (int k = 0; k < sys.opts.control_vector_count; k++) {
    printf("[*] Control Vector  : %s (scale %g)\n", sys.opts.control_vectors[k].path,
           static_cast<double>(sys.opts.control_vectors[k].scale));
  }
  printf("[*] Steered Layers  :");
  if (sys.control.mask == 0) printf(" none");
  for (uint64_t l = 0; l < geom::kLayers; l++) {
    if ((sys.control.mask >> l) & 1) printf(" %llu", static_cast<unsigned long long>(l));
  }
  printf("\n");
  if (steering_gated(sys.opts)) {
    printf("[*] Steering Gate   : %s > 0 after %d layers\n", sys.opts.gate_axis, steering_gate_layers(sys.opts));
  }
}

void fill_context(System* sys) {
  InferenceContext& c = sys->ctx;
  c.rope_cos = nullptr;
  c.rope_sin = nullptr;
  c.weights_base = sys->weights.base;
  c.embedding_table = reinterpret_cast<const uint16_t*>(sys->weights.base + file_off::embedding_table);
  c.final_norm = reinterpret_cast<const float*>(sys->weights.base + file_off::final_norm);
  c.token_id = 0;
  c.position = 0;
  c.max_positions = geom::kMaxPositions;
  c.layer_limit = 0;
  c.job_slots = sys->pool.area;
  c.history = nullptr;
  c.history_count = 0;
  c.layer_mask = 0x3FFFF;
  c.forced_token = 0;
  c.bias_token = 0;
  c.bias_value = 0.0f;
  c.knockout_enabled = 0;
  c.knockout_layer = -1;
  c.knockout_head = -1;
  c.splice_enabled = 0;
  c.splice_layer = -1;
  c.splice_vector = nullptr;
  c.control_table = sys->control.mask != 0 ? sys->control.rows.data() : nullptr;
  c.control_mask = sys->control.mask;
}
}  // namespace

void start_up(System* sys, int argc, char** argv) {
  sys->started = seconds_now();
  watch_standard_output();
  if (!console_setup()) fatal("Cannot make standard output unbuffered");

  ArgList args;
  args_acquire(&args, argc, argv);
  parse_run_options(&sys->opts, args.count, read_platform_arg, &args);
  args_release(&args);
  if (sys->opts.show_help || sys->opts.show_version) {
    fputs(sys->opts.show_help ? kUsageText : kVersionText, stdout);
    exit(0);
  }
  const bool batch = sys->opts.prompts_path[0] != '\0';
  if (strcmp(sys->opts.json_path, "-") == 0) {
    // From here on the console's lines go to standard error; the report itself is not printed.
    sys->records = take_standard_output();
    sys->records_to_stdout = true;
    if (!sys->records) fatal("Cannot keep standard output for the records");
  }
  if (sys->opts.refusal[0] != '\0') fatal("%s", sys->opts.refusal);
  if (batch) read_prompts(sys);
  if (sys->opts.tokenize_only) {
    if (sys->opts.unknown_options > 0) warn("Unknown option %s taken as prompt text", sys->opts.unknown_option);
    warn_argument_cuts(sys->opts);
    tokenize_and_exit(sys);
  }
  // Before the records file is opened (and so replaced): a refused vector leaves it as it was.
  const bool steered = sys->opts.control_vector_count > 0;
  if (steered) load_control_vectors(sys);
  if (sys->opts.json_path[0] != '\0' && !sys->records_to_stdout) open_records(sys);

  print_banner();
  print_profile(sys->opts, !batch && !steered);
  if (steered) {
    print_control_vectors(*sys);
    if (!batch) print_input_prompt(*sys);
  }
  if (sys->opts.unknown_options > 0) {
    warn("Unknown option %s taken as prompt text%s", sys->opts.unknown_option,
         sys->opts.unknown_options > 1 ? " (and more unknown options after it)" : "");
  }
  warn_argument_cuts(sys->opts);

  if (const char* missing = missing_cpu_features()) {
    fatal("This processor lacks %s, which the compute kernels require (x86-64 with AVX2, FMA and F16C)",
          missing);
  }

  build_tokenizer(sys->opts);
  print_vocabulary_line(stdout);
  set_up_probe(sys->opts);
  printf("\xE2\x9C\x94 [2/5] Embedded 4D Mental Radar Weights & Baseline Vector Loaded!\n");
  map_weights(sys);
  if (sys->opts.states_path[0] != '\0') open_states(sys);
  if (sys->opts.report_path[0] != '\0') check_report_path(*sys);
  start_engine(sys);
  printf("\xE2\x9C\x94 [4/5] 4-Core SMP Micro-Kernel Thread Pool & RoPE Table Initialized!\n");
  if (!batch) begin_prompt(sys);
}

void print_input_prompt(const System& sys) { printf("[*] Input Prompt    : \"%s\"\n\n", sys.opts.prompt); }

void begin_prompt(System* sys) {
  tokenize(sys);
  print_prefill_length(sys->prefill_length);
  fill_context(sys);
}

void begin_prompt_quietly(System* sys) {
  tokenize_quietly(sys);
  fill_context(sys);
}

void print_prefill_length(int32_t n) {
  printf("\xE2\x9C\x94 [5/5] Prompt Tokenization Complete (Prefill Length: %d Tokens)\n\n", n);
}

void records_failed(const System& sys) {
  FILE* to = sys.records_to_stdout ? stderr : stdout;
  fprintf(to, "\xE2\x9D\x8C [FATAL] The records could not be written to %s\n",
          sys.records_to_stdout ? "standard output" : sys.opts.json_path);
  fflush(to);
  exit(1);
}

RunInfo run_info_of(const System& sys) {
  RunInfo run{KORVANE_VERSION, sys.images.wide ? "AVX-512" : "AVX2", sys.pool.workers + 1, sys.weights_used,
              sys.weights.size};
  for (int k = 0; k < sys.opts.control_vector_count; k++) {
    run.control_vectors.push_back({sys.opts.control_vectors[k].path, sys.opts.control_vectors[k].scale});
  }
  for (int l = 0; l < int(geom::kLayers); l++) {
    if ((sys.control.mask >> l) & 1) run.steered_layers.push_back(l);
  }
  return run;
}

PromptPass prompt_pass_of(System* sys) {
  PromptPass pass;
  pass.block = sys->images.layer_block;
  pass.ctx = &sys->ctx;
  pass.ids = sys->prompt_ids;
  pass.count = sys->prefill_length;
  pass.rows = sys->prompt_rows;
  pass.saved = sys->saved_rows;
  pass.work = sys->block_work;
  return pass;
}

std::string start_engine_quietly(System* sys, const char* weights_path) {
  sys->started = seconds_now();
  if (const char* missing = missing_cpu_features()) {
    return std::string("this processor lacks ") + missing + ", which the compute kernels require";
  }
  build_tokenizer(sys->opts);
  set_up_probe(sys->opts);
  char path[kArgCapacity];
  weights_path_for(weights_path, path);
  unsigned long error = 0;
  switch (open_weights(path, &sys->weights, &error)) {
    case WeightsStatus::ok:
      break;
    case WeightsStatus::open_failed: {
      if (sys->weights.kind != FileKind::regular) return std::string(path) + " is " + kind_name(sys->weights.kind);
      char text[256];
      system_error_text(error, text, sizeof text);
      return std::string("cannot open the weights file ") + path + ": " + text;
    }
    case WeightsStatus::map_failed:
      return std::string("cannot map the weights file ") + path;
    case WeightsStatus::truncated:
      return std::string("the weights file ") + path + " is truncated (" + std::to_string(sys->weights.size) +
             " bytes, expected at least " + std::to_string(file_off::end) + ")";
  }
  if (!watch_weights(sys, path)) return "cannot install the handler for faults in the weights mapping";
  start_engine(sys);
  return "";
}

int32_t run_prompt_depths(System* sys, const std::string& prompt, const DepthStates& states) {
  memcpy(sys->opts.prompt, prompt.c_str(), prompt.size() + 1);
  tokenize(sys);
  fill_context(sys);
  const PromptPass pass = prompt_pass_of(sys);
  DepthReading depths[modes::kTelemetryRows];
  pass_embed(pass);
  shared_depths_from(pass, 0, depths, states);
  return sys->prefill_length;
}
