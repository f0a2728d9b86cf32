#include "driver/run_options.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "model/weights_layout.h"
#include "platform/utf8.h"
#include "reports/records.h"

namespace {
// Room for one more character than an argument keeps, so that a cut can be seen.
constexpr size_t kArgReadCapacity = kArgCapacity + 4;

// Reads argument i into arg (kArgReadCapacity bytes) and cuts it to the 1023 bytes of whole
// characters that an argument keeps. Returns its length; *cut tells whether it was longer.
size_t read_argument(ArgReader read, void* source, int i, char* arg, bool* cut) {
  size_t len = read(source, i, arg, kArgReadCapacity);
  *cut = len > kArgCapacity - 1;
  if (*cut) {
    len = utf8_fit(arg, len, kArgCapacity - 1);
    arg[len] = '\0';
  }
  return len;
}

// The options the program knows; any other word that begins with "--" gets a warning.
bool known_option(const char* arg) {
  static const char* const kNames[] = {"--audit-heads", "--splice-substitute", "--beta", "--weights",
                                       "--timings", "--help", "--version", "--prompts", "--json",
                                       "--shard", "--resume", "--progress", "--states", "--probe", "--gate",
                                       "--truth-axis", "--audit-axis", "--control-vector", "--control-vector-layers",
                                       "--gate-depth", "--tokenizer", "--tokenize", "--report",
                                       "--audit-layer", "--audit-all", "--ablate", "--lens", "--batch"};
  for (const char* name : kNames) {
    if (strcmp(arg, name) == 0) return true;
  }
  return false;
}

// An option followed by one value: where the value goes (null: the shard) and what to say
// when it is missing or too long.
struct ValueOption {
  const char* name;
  char (RunOptions::*field)[kArgCapacity];
  const char* needs;
  const char* what;
};

const ValueOption* value_option(const char* arg) {
  static const ValueOption kOptions[] = {
      {"--weights", &RunOptions::weights_path, "the path of a weights file", "weights path"},
      {"-m", &RunOptions::weights_path, "the path of a weights file", "weights path"},
      {"--prompts", &RunOptions::prompts_path, "the path of a prompt file", "prompt file's path"},
      {"--json", &RunOptions::json_path, "a file for the records (or -)", "records file's path"},
      {"--states", &RunOptions::states_path, "a file for the hidden states", "states file's path"},
      {"--report", &RunOptions::report_path, "a file for the HTML report", "report file's path"},
      {"--shard", nullptr, "a shard I/N", "shard"},
      {"--probe", &RunOptions::probe_path, "the path of a probe file", "probe file's path"},
      {"--gate", &RunOptions::gate_axis, "an axis name", "gate axis name"},
      {"--truth-axis", &RunOptions::truth_axis, "an axis name", "truth axis name"},
      {"--audit-axis", &RunOptions::audit_axis, "an axis name", "audit axis name"},
  };
  for (const ValueOption& option : kOptions) {
    if (strcmp(arg, option.name) == 0) return &option;
  }
  return nullptr;
}

// Reads "I/N" (decimal, 0 <= I < N <= 1000000) into index and count; false when it is not that.
bool read_shard(const char* text, int* index, int* count) {
  long values[2] = {-1, -1};
  const char* p = text;
  for (int part = 0; part < 2; part++) {
    if (*p < '0' || *p > '9') return false;
    long v = 0;
    while (*p >= '0' && *p <= '9') {
      v = v * 10 + (*p++ - '0');
      if (v > 1000000) return false;
    }
    values[part] = v;
    if (part == 0 && *p++ != '/') return false;
  }
  if (*p != '\0' || values[0] >= values[1]) return false;
  *index = static_cast<int>(values[0]);
  *count = static_cast<int>(values[1]);
  return true;
}
// Reads "FILE" or "FILE:SCALE" into *out. The scale is what follows the last ':' unless that
// holds a path separator (so C:\dir\v.gguf is a path); it must be a finite number.
enum class VectorArgFault { none, no_file, bad_scale };
VectorArgFault read_control_vector(const char* text, ControlVectorArg* out) {
  const char* colon = strrchr(text, ':');
  if (colon && (strchr(colon, '/') || strchr(colon, '\\'))) colon = nullptr;
  const size_t path_len = colon ? size_t(colon - text) : strlen(text);
  if (path_len == 0) return VectorArgFault::no_file;
  memcpy(out->path, text, path_len);
  out->path[path_len] = '\0';
  out->scale = 1.0f;
  if (!colon) return VectorArgFault::none;
  char* end = nullptr;
  const double scale = strtod(colon + 1, &end);
  out->scale = static_cast<float>(scale);
  if (colon[1] == '\0' || *end != '\0' || !std::isfinite(out->scale)) return VectorArgFault::bad_scale;
  return VectorArgFault::none;
}

// Reads a decimal number from lo to hi into *out; false when the text is not one.
bool read_small_number(const char* text, int lo, int hi, int* out) {
  int v = 0;
  const char* p = text;
  if (*p == '\0') return false;
  for (; *p >= '0' && *p <= '9'; p++) {
    v = v * 10 + (*p - '0');
    if (v > hi) return false;
  }
  if (*p != '\0' || v < lo) return false;
  *out = v;
  return true;
}

// Reads "A-B" (decimal, 0 <= A <= B <= 17) into first and last; false when it is not that.
bool read_layer_range(const char* text, int* first, int* last) {
  int values[2];
  const char* p = text;
  for (int part = 0; part < 2; part++) {
    if (*p < '0' || *p > '9') return false;
    int v = 0;
    while (*p >= '0' && *p <= '9') {
      v = v * 10 + (*p++ - '0');
      if (v >= int(geom::kLayers)) return false;
    }
    values[part] = v;
    if (part == 0 && *p++ != '-') return false;
  }
  if (*p != '\0' || values[0] > values[1]) return false;
  *first = values[0];
  *last = values[1];
  return true;
}
}  // namespace

void parse_run_options(RunOptions* opts, int count, ArgReader read, void* source) {
  memset(opts, 0, sizeof *opts);
  opts->beta = 4.5f;
  opts->control_last_layer = int(geom::kLayers) - 1;
  size_t len = 0;
  char arg[kArgReadCapacity];
  char beta_value[kBetaCapacity] = "";
  bool layers_given = false;
  bool audit_layer_given = false, ablate_given = false;
  opts->audit_layer = modes::kAuditLayer;
  for (int i = 1; i < count; i++) {
    bool cut = false;
    size_t arg_len = read_argument(read, source, i, arg, &cut);
    if (strcmp(arg, "--audit-heads") == 0) {
      opts->audit_heads = true;
    } else if (strcmp(arg, "--audit-all") == 0) {
      opts->audit_all = true;
    } else if (strcmp(arg, "--audit-layer") == 0 || strcmp(arg, "--ablate") == 0 || strcmp(arg, "--lens") == 0) {
      char name[16];
      snprintf(name, sizeof name, "%s", arg);
      const bool last = strcmp(name, "--audit-layer") == 0, ablate = strcmp(name, "--ablate") == 0;
      bool good = i + 1 < count;
      bool value_cut = false;
      if (good) read_argument(read, source, ++i, arg, &value_cut);
      if (good && last) good = read_small_number(arg, 0, int(geom::kLayers) - 1, &opts->audit_layer);
      if (good && ablate) good = strcmp(arg, "zero") == 0 || strcmp(arg, "mean") == 0;
      if (good && !last && !ablate) good = read_small_number(arg, 1, kMaxLensTokens, &opts->lens);
      if (!good) {
        snprintf(opts->refusal, sizeof opts->refusal, "%s needs %s after it", name,
                 last ? "a layer 0 .. 17" : ablate ? "zero or mean" : "a count K of 1 .. 20");
        break;
      }
      audit_layer_given |= last;
      ablate_given |= ablate;
      if (ablate) opts->ablate_mean = strcmp(arg, "mean") == 0;
    } else if (strcmp(arg, "--splice-substitute") == 0) {
      opts->splice_substitute = true;
    } else if (strcmp(arg, "--beta") == 0 && i + 1 < count) {
      // The value is never looked at as an option or a prompt word.
      read(source, ++i, beta_value, sizeof beta_value);
      opts->beta = static_cast<float>(atof(beta_value));
    } else if (strcmp(arg, "--control-vector") == 0 || strcmp(arg, "--control-vector-layers") == 0) {
      const bool layers = strcmp(arg, "--control-vector-layers") == 0;
      layers_given |= layers;
      if (i + 1 == count) {
        snprintf(opts->refusal, sizeof opts->refusal, "%s needs %s after it", layers ? "--control-vector-layers" : "--control-vector",
                 layers ? "a layer range A-B" : "a file (FILE or FILE:SCALE)");
        break;
      }
      bool value_cut = false;
      read_argument(read, source, ++i, arg, &value_cut);
      if (value_cut) {
        snprintf(opts->refusal, sizeof opts->refusal, "The control vector's path is longer than %zu bytes", kArgCapacity - 1);
        break;
      }
      if (layers) {
        if (!read_layer_range(arg, &opts->control_first_layer, &opts->control_last_layer)) {
          snprintf(opts->refusal, sizeof opts->refusal, "--control-vector-layers must be A-B with 0 <= A <= B <= %d, not \"%.60s\"",
                   int(geom::kLayers) - 1, arg);
          break;
        }
        continue;
      }
      if (opts->control_vector_count == kMaxControlVectors) {
        snprintf(opts->refusal, sizeof opts->refusal, "--control-vector takes at most %d files", kMaxControlVectors);
        break;
      }
      const VectorArgFault fault = read_control_vector(arg, &opts->control_vectors[opts->control_vector_count++]);
      if (fault != VectorArgFault::none) {
        if (fault == VectorArgFault::bad_scale) {
          snprintf(opts->refusal, sizeof opts->refusal, "--control-vector's scale must be a finite number: \"%.80s\"", arg);
        } else {
          snprintf(opts->refusal, sizeof opts->refusal, "--control-vector needs a file before its :SCALE, not \"%.80s\"", arg);
        }
        break;
      }
    } else if (const ValueOption* option = value_option(arg)) {
      if (i + 1 == count) {
        snprintf(opts->refusal, sizeof opts->refusal, "%s needs %s after it", option->name, option->needs);
        break;
      }
      bool value_cut = false;
      size_t value_len = read_argument(read, source, ++i, arg, &value_cut);
      if (value_cut) {
        snprintf(opts->refusal, sizeof opts->refusal, "The %s is longer than %zu bytes", option->what, kArgCapacity - 1);
        break;
      }
      if (option->field == nullptr) {
        if (!read_shard(arg, &opts->shard_index, &opts->shard_count)) {
          snprintf(opts->refusal, sizeof opts->refusal, "--shard must be I/N with 0 <= I < N <= 1000000, not \"%.60s\"", arg);
          break;
        }
      } else {
        memcpy(opts->*(option->field), arg, value_len + 1);
      }
    } else if (strcmp(arg, "--gate-depth") == 0) {
      char depth[kArgReadCapacity] = "";
      if (i + 1 < count) read_argument(read, source, ++i, depth, &cut);
      char* end = nullptr;
      const long d = strtol(depth, &end, 10);
      if (depth[0] < '0' || depth[0] > '9' || *end != '\0' || d < 1 || d > long(geom::kLayers)) {
        snprintf(opts->refusal, sizeof opts->refusal, "--gate-depth must be a number of layers from 1 to %d, not \"%.40s\"",
                 int(geom::kLayers), depth);
        break;
      }
      opts->gate_depth = int(d);
    } else if (strcmp(arg, "--batch") == 0) {
      char size[kArgReadCapacity] = "";
      if (i + 1 < count) read_argument(read, source, ++i, size, &cut);
      char* end = nullptr;
      const long b = strtol(size, &end, 10);
      if (size[0] < '0' || size[0] > '9' || *end != '\0' || b < 1 || b > long(kMaxBatch)) {
        snprintf(opts->refusal, sizeof opts->refusal, "--batch must be a number of prompts from 1 to %d, not \"%.40s\"",
                 kMaxBatch, size);
        break;
      }
      opts->batch = int(b);
    } else if (strcmp(arg, "--tokenizer") == 0) {
      char value[kArgReadCapacity] = "";
      bool value_cut = false;
      if (i + 1 < count) read_argument(read, source, ++i, value, &value_cut);
      if (strcmp(value, "model") != 0 && strcmp(value, "greedy") != 0) {
        snprintf(opts->refusal, sizeof opts->refusal, "--tokenizer must be greedy or model, not \"%.60s\"", value);
        break;
      }
      opts->model_tokenizer = strcmp(value, "model") == 0;
    } else if (strcmp(arg, "--tokenize") == 0) {
      opts->tokenize_only = true;
    } else if (strcmp(arg, "--resume") == 0) {
      opts->resume = true;
    } else if (strcmp(arg, "--progress") == 0) {
      opts->show_progress = true;
    } else if (strcmp(arg, "--timings") == 0) {
      opts->show_timings = true;
    } else if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0) {
      opts->show_help = true;
    } else if (strcmp(arg, "--version") == 0) {
      opts->show_version = true;
    } else {
      if (arg[0] == '-' && arg[1] == '-' && arg[2] != '\0' && !known_option(arg)) {
        if (opts->unknown_options++ == 0) memcpy(opts->unknown_option, arg, arg_len + 1);
      }
      opts->prompt_words++;
      if (cut) opts->cut_arguments++;
      if (len > 0 && len + 1 < kPromptCapacity) opts->prompt[len++] = ' ';
      // A word that does not fit is dropped whole; the space before it stays.
      if (arg_len + len < kPromptCapacity) {
        memcpy(opts->prompt + len, arg, arg_len + 1);
        len += arg_len;
      } else {
        opts->dropped_arguments++;
      }
    }
  }
  if (len == 0) {
    strcpy(opts->prompt, kDefaultPrompt);
  }
  // nan, inf or a value past the f32 range would poison every reading after the splice
  // (the vector is built in every mode). The last --beta is the one that counts.
  if (opts->refusal[0] == '\0' && !std::isfinite(opts->beta)) {
    snprintf(opts->refusal, sizeof opts->refusal, "--beta must be a finite number, not \"%s\"", beta_value);
  }
  if (opts->refusal[0] != '\0') return;
  if (audit_layer_given && (!opts->audit_heads || opts->audit_all)) {
    snprintf(opts->refusal, sizeof opts->refusal, "--audit-layer picks the layer of --audit-heads (--audit-all audits every layer)");
    return;
  }
  // The sweep is an audit too: everything said of --audit-heads holds for it.
  if (opts->audit_all) opts->audit_heads = true;
  if (ablate_given && !opts->audit_heads) {
    snprintf(opts->refusal, sizeof opts->refusal, "--ablate needs --audit-heads or --audit-all");
    return;
  }
  if (opts->lens > 0 && opts->audit_heads) {
    snprintf(opts->refusal, sizeof opts->refusal, "--lens needs the default or the splice mode, not an audit");
    return;
  }
  const bool batch = opts->prompts_path[0] != '\0';
  if (batch) opts->show_progress = true;
  if (batch && opts->prompt_words > 0) {
    snprintf(opts->refusal, sizeof opts->refusal, "--prompts takes the prompts from its file; prompt words cannot be given too");
  } else if (!batch && (opts->shard_count > 0 || opts->resume)) {
    snprintf(opts->refusal, sizeof opts->refusal, "%s needs --prompts FILE", opts->resume ? "--resume" : "--shard");
  } else if (opts->resume && (opts->json_path[0] == '\0' || strcmp(opts->json_path, "-") == 0)) {
    snprintf(opts->refusal, sizeof opts->refusal, "--resume needs --json FILE (a file, not standard output)");
  } else if (opts->states_path[0] != '\0' && opts->audit_heads) {
    snprintf(opts->refusal, sizeof opts->refusal, "--states needs a mode with telemetry; --audit-heads has none");
  } else if (strcmp(opts->states_path, "-") == 0) {
    snprintf(opts->refusal, sizeof opts->refusal, "--states needs a file's path (a state file cannot go to standard output)");
  }
  if (opts->refusal[0] == '\0' && opts->tokenize_only &&
      (opts->json_path[0] != '\0' || opts->states_path[0] != '\0' || opts->resume)) {
    snprintf(opts->refusal, sizeof opts->refusal, "--tokenize prints the prefill ids only; it takes no --json, --states or --resume");
  }
  if (opts->refusal[0] == '\0' && strcmp(opts->report_path, "-") == 0) {
    snprintf(opts->refusal, sizeof opts->refusal, "--report needs a file's path (the report cannot go to standard output)");
  } else if (opts->refusal[0] == '\0' && opts->tokenize_only && opts->report_path[0] != '\0') {
    snprintf(opts->refusal, sizeof opts->refusal, "--tokenize prints the prefill ids only; it takes no --report");
  }
  if (opts->refusal[0] == '\0' && layers_given && opts->control_vector_count == 0) {
    snprintf(opts->refusal, sizeof opts->refusal, "--control-vector-layers needs --control-vector FILE");
  }
  if (opts->refusal[0] == '\0' && opts->batch > 0 && opts->prompts_path[0] == '\0') {
    snprintf(opts->refusal, sizeof opts->refusal, "--batch needs --prompts FILE");
  }
  if (opts->refusal[0] == '\0' && opts->gate_depth > 0 && !steering_gated(*opts)) {
    snprintf(opts->refusal, sizeof opts->refusal, "--gate-depth needs --gate NAME with --control-vector FILE");
  }
}

bool steering_gated(const RunOptions& opts) { return opts.gate_axis[0] != '\0' && opts.control_vector_count > 0; }

int steering_gate_layers(const RunOptions& opts) {
  return opts.gate_depth > 0 ? opts.gate_depth : int(modes::kSplicePrepassLayers);
}

int prompts_in_flight(const RunOptions& opts) { return opts.batch > 0 ? opts.batch : kDefaultBatch; }
