#include "driver/run_options.h"

#include <cstdlib>
#include <cstring>

void parse_run_options(RunOptions* opts, int count, ArgReader read, void* source) {
  memset(opts, 0, sizeof *opts);
  opts->beta = 4.5f;
  size_t len = 0;
  char arg[kArgCapacity];
  for (int i = 1; i < count; i++) {
    size_t arg_len = read(source, i, arg, sizeof arg);
    if (strcmp(arg, "--audit-heads") == 0) {
      opts->audit_heads = true;
    } else if (strcmp(arg, "--splice-substitute") == 0) {
      opts->splice_substitute = true;
    } else if (strcmp(arg, "--beta") == 0 && i + 1 < count) {
      // The value is never looked at as an option or a prompt word.
      char value[kBetaCapacity];
      read(source, ++i, value, sizeof value);
      opts->beta = static_cast<float>(atof(value));
    } else if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0) {
      opts->show_help = true;
    } else if (strcmp(arg, "--version") == 0) {
      opts->show_version = true;
    } else {
      if (len > 0 && len + 1 < kPromptCapacity) opts->prompt[len++] = ' ';
      // A word that does not fit is dropped whole; the space before it stays.
      if (arg_len + len < kPromptCapacity) {
        memcpy(opts->prompt + len, arg, arg_len + 1);
        len += arg_len;
      }
    }
  }
  if (len == 0) {
    strcpy(opts->prompt, kDefaultPrompt);
  }
}
