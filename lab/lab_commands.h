// korvane-lab's commands: each takes the arguments after its name and returns the exit status
// (0 done, 1 with one line on standard error when it failed, 2 for a usage error).
#pragma once

#include <string>

// export-probe OUT: writes the embedded probe as a probe file.
int export_probe_command(int argc, char** argv);

// train-probe --data FILE.jsonl -o OUT.safetensors [--json FILE] [--weights PATH]: trains a
// per-depth probe on labelled prompts and prints its accuracy at every depth.
int train_probe_command(int argc, char** argv);

// make-vector --data PAIRS.jsonl -o OUT.gguf [--unit] [--weights PATH]: writes a control vector
// of the mean residual differences of prompt pairs.
int make_vector_command(int argc, char** argv);

// Needs: a path and the file's complete bytes. Writes them under a temporary name beside path
// and renames that over path, so nothing but a complete file is ever under path. Returns "" or
// a one-line reason (the temporary file is then removed).
std::string write_file_whole(const std::string& path, const std::string& bytes);
