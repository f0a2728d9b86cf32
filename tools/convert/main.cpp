// korvane-convert: turns a downloaded checkpoint of the model (safetensors, single or sharded,
// or GGUF; F32, F16 or BF16 values) into the flat weights file the program maps.
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tools/convert/layout_writer.h"
#include "tools/convert/model_geometry.h"
#include "tools/convert/progress.h"
#include "tools/convert/source_model.h"
#include "tools/convert/tensor_binding.h"

namespace {

const char kUsage[] =
    "usage: korvane-convert INPUT [OUTPUT]\n"
    "\n"
    "Converts the 2B instruction-tuned model (18 layers, width 2048) into the flat fp16 weights\n"
    "file the program reads.\n"
    "\n"
    "INPUT   a checkpoint folder (model.safetensors.index.json or model.safetensors),\n"
    "        one of those files, or a .gguf file of architecture gemma;\n"
    "        values may be F32, F16 or BF16\n"
    "OUTPUT  the file to write (default gemma2b_fp16.bin in the current folder); a folder\n"
    "        gets gemma2b_fp16.bin inside it\n"
    "\n"
    "Matrices become fp16 (rounded to nearest even), norm vectors f32. Everything is checked\n"
    "before anything is written; the output appears only when complete. The last line is the\n"
    "output's SHA-256.\n";

int fail(const std::string& why) {
  fprintf(stderr, "korvane-convert: %s\n", why.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> paths;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    if (a == "-h" || a == "--help") {
      fputs(kUsage, stdout);
      return 0;
    }
    if (a == "--") {
      for (i++; i < argc; i++) paths.push_back(argv[i]);
      break;
    }
    if (a.size() > 1 && a[0] == '-') {
      fprintf(stderr, "korvane-convert: unknown option %s (see --help)\n", a.c_str());
      return 2;
    }
    paths.push_back(a);
  }
  if (paths.empty() || paths.size() > 2) {
    fprintf(stderr, "korvane-convert: expected INPUT [OUTPUT] (see --help)\n");
    return 2;
  }
  const std::string input = paths[0];
  std::string output = paths.size() == 2 ? paths[1] : "gemma2b_fp16.bin";
  struct stat st {};
  if (stat(output.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) output += "/gemma2b_fp16.bin";

  const ModelGeometry& g = kModelGeometry;
  SourceModel model;
  std::string err;
  if (!open_source_model(input, g, &model, &err)) return fail(err);
  std::vector<PlannedTensor> plan = output_plan(g);
  std::vector<uint32_t> source_of;
  if (!bind_tensors(model, plan, &source_of, &err)) return fail(err);

  fprintf(stderr, "korvane-convert: %s checkpoint, %zu file%s, %zu tensors checked; writing %s\n",
          source_format_name(model.format), model.files.size(), model.files.size() == 1 ? "" : "s",
          model.tensors.size(), output.c_str());
  remove_partial_output_on_signal();
  Progress progress;
  progress_start(&progress, stderr, isatty(STDERR_FILENO) == 1);
  ConvertReport report;
  bool ok = write_converted(model, g, plan, source_of, output, progress_update, &progress, &report, &err);
  progress_finish(&progress);
  if (!ok) return fail(err);

  double seconds = monotonic_seconds() - progress.start;
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  printf("wrote %s: %llu bytes in %.1f s\n", output.c_str(), static_cast<unsigned long long>(report.bytes),
         seconds);
  printf("fp16 rounding: %llu values overflowed to infinity, %llu became subnormal, %llu became zero\n",
         static_cast<unsigned long long>(report.half.overflowed),
         static_cast<unsigned long long>(report.half.subnormal), static_cast<unsigned long long>(report.half.zeroed));
  if (model.norms_hold_one)
    printf("norm vectors: one subtracted; %llu values were not exact after subtracting\n",
           static_cast<unsigned long long>(report.inexact_norms));
  printf("peak memory: %ld MiB\n", usage.ru_maxrss / 1024);
  printf("SHA-256: %s\n", report.sha256.c_str());
  return 0;
}
