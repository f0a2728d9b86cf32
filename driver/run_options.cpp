#include "driver/run_options.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/utf8.h"

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
}  // namespace

void parse_run_options(RunOptions* opts, int count, ArgReader read, void* source) {
  memset(opts, 0, sizeof *opts);
  opts->beta = 4.5f;
  size_t len = 0;
  char arg[kArgReadCapacity];
  char beta_value[kBetaCapacity] = "";
  for (int i = 1; i < count; i++) {
    bool cut = false;
    size_t arg_len = read_argument(read, source, i, arg, &cut);
    if (strcmp(arg, "--audit-heads") == 0) {
      opts->audit_heads = true;
    } else if (strcmp(arg, "--splice-substitute") == 0) {
      opts->splice_substitute = true;
    } else if (strcmp(arg, "--beta") == 0 && i + 1 < count) {
      // The value is never looked at as an option or a prompt word.
      read(source, ++i, beta_value, sizeof beta_value);
      opts->beta = static_cast<float>(atof(beta_value));
    } else if (strcmp(arg, "--weights") == 0 || strcmp(arg, "-m") == 0) {
      if (i + 1 == count) {
        snprintf(opts->refusal, sizeof opts->refusal, "%s needs the path of a weights file after it",
                 arg[1] == 'm' ? "-m" : "--weights");
        break;
      }
      bool path_cut = false;
      size_t path_len = read_argument(read, source, ++i, arg, &path_cut);
      if (path_cut) {
        snprintf(opts->refusal, sizeof opts->refusal, "The weights path is longer than %zu bytes", kArgCapacity - 1);
        break;
      }
      memcpy(opts->weights_path, arg, path_len + 1);
    } else if (strcmp(arg, "--timings") == 0) {
      opts->show_timings = true;
    } else if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0) {
      opts->show_help = true;
    } else if (strcmp(arg, "--version") == 0) {
      opts->show_version = true;
    } else {
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
}
