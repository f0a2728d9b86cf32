// korvane-lab: the tools around the program's probe and vectors, one command per job.
#include <cstdio>
#include <cstring>

#include "lab/lab_commands.h"

namespace {
struct Command {
  const char* name;
  const char* arguments;
  const char* what;
  int (*run)(int argc, char** argv);  // the arguments after the command's name
};

// New commands go here.
const Command kCommands[] = {
    {"export-probe", "OUT", "write the embedded probe as a probe file (safetensors)", export_probe_command},
    {"train-probe", "--data FILE.jsonl -o OUT.safetensors [--json FILE] [--weights PATH] [--tokenizer greedy|model]",
     "train a per-depth probe on labelled prompts", train_probe_command},
    {"make-vector", "--data PAIRS.jsonl -o OUT.gguf [--unit] [--weights PATH] [--tokenizer greedy|model]",
     "make a control vector from contrasting prompt pairs", make_vector_command},
};

void print_usage(FILE* to) {
  fputs("usage: korvane-lab <command> [arguments]\n\ncommands:\n", to);
  for (const Command& c : kCommands) fprintf(to, "  %s %s\n      %s\n", c.name, c.arguments, c.what);
  fputs("\nThe probe file format and the data files are described in the README (\"Probe files\",\n"
        "\"korvane-lab\").\n", to);
}
}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fputs("korvane-lab: no command given (korvane-lab --help lists them)\n", stderr);
    return 2;
  }
  if (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0) {
    print_usage(stdout);
    return 0;
  }
  if (strcmp(argv[1], "--version") == 0) {
    puts("korvane-lab " KORVANE_VERSION);
    return 0;
  }
  for (const Command& c : kCommands) {
    if (strcmp(argv[1], c.name) == 0) return c.run(argc - 2, argv + 2);
  }
  fprintf(stderr, "korvane-lab: unknown command \"%.60s\" (korvane-lab --help lists them)\n", argv[1]);
  return 2;
}
