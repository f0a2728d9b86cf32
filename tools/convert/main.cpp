// korvane-convert: turns a downloaded checkpoint of the model (safetensors, single or sharded,
// or GGUF; F32, F16 or BF16 values) into the flat weights file the program maps.
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "tools/convert/layout_writer.h"
#include "tools/convert/model_geometry.h"
#include "tools/convert/path_checks.h"
#include "tools/convert/progress.h"
#include "tools/convert/source_model.h"
#include "tools/convert/tensor_binding.h"

namespace {

const char kUsage[] =
    "usage: korvane-convert INPUT [OUTPUT]\n"
    "       korvane-convert --help | --version\n"
    "\n"
    "Converts the 2B instruction-tuned model (18 layers, width 2048) into the flat fp16 weights\n"
    "file the program reads.\n"
    "\n"
    "INPUT   a checkpoint folder (model.safetensors.index.json or model.safetensors),\n"
    "        one of those files, or a .gguf file of architecture gemma;\n"
    "        values may be F32, F16 or BF16\n"
    "OUTPUT  the file to write (default gemma2b_fp16.bin in the current folder); a folder\n"
    "        gets gemma2b_fp16.bin inside it. An existing regular file there is replaced;\n"
    "        an output that is one of the input files, or exists as anything but a regular\n"
    "        file (a device, a FIFO), is refused\n"
    "\n"
    "The checkpoint to download is google/gemma-2b-it on Hugging Face, its safetensors files\n"
    "(about 5 GB). The weights are under the Gemma Terms of Use, which you accept on the\n"
    "model's page before downloading, and the converted file stays under them; see \"Getting\n"
    "the weights\" in the README for the steps and what passing the file on requires.\n"
    "\n"
    "Matrices become fp16 (rounded to nearest, ties to even), norm vectors f32. Everything is\n"
    "checked before anything is written; the output appears only when complete, and a run that\n"
    "fails or is stopped by a signal leaves no output or temporary file behind (after SIGKILL,\n"
    "where the file system has unnamed temporary files). The last line is the output's SHA-256.\n"
    "\n"
    "Needs: 5,012,496,384 bytes free in the output's folder (checked first) and well under 1 GB\n"
    "of memory. A run reads the checkpoint once and writes the output once, so it takes as long\n"
    "as the disks need to read about 5 GB and write 5 GB (two minutes at 42 MB/s, on a shared\n"
    "test machine); the progress on standard error shows the rate.\n"
    "\n"
    "Exit status: 0 when the output was written (or after --help or --version); 1 when the input\n"
    "or output is refused, reading, converting or writing fails, or standard output cannot be\n"
    "written, with one line on standard error saying why; 2 for a usage error.\n";

const char kVersion[] = "korvane-convert " KORVANE_VERSION "\n";

int fail(const std::string& why) {
  fprintf(stderr, "korvane-convert: %s\n", why.c_str());
  return 1;
}

// Needs: everything meant for standard output printed. Returns 0, or 1 with a line on
// standard error when any of it could not be written (a full disk, a closed pipe); `done`
// says what was achieved all the same.
int finish_stdout(const char* done) {
  errno = 0;
  if (fflush(stdout) == 0 && !ferror(stdout)) return 0;
  int e = errno;
  return fail(std::string("cannot write to standard output: ") + (e ? strerror(e) : "write error") + done);
}

// Needs: the output path as given (or the default). Returns the file to write: a folder gets
// the default name inside it.
std::string output_file(const std::string& given) {
  struct stat st {};
  if (!given.empty() && stat(given.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return given + "/gemma2b_fp16.bin";
  return given;
}

// The conversion proper, from checked arguments to the closing report.
int convert(const std::string& input, const std::string& output) {
  std::string err;
  // The input named is compared at once, the files a folder or an index leads to once read.
  if (!check_output_kind(output, &err) || !check_input_kind(input, &err) ||
      !check_output_not_input(output, {input}, &err))
    return fail(err);
  const ModelGeometry& g = kModelGeometry;
  SourceModel model;
  if (!open_source_model(input, g, &model, &err)) return fail(err);
  std::vector<std::string> read = model.files;
  read.insert(read.end(), model.also_read.begin(), model.also_read.end());
  if (!check_output_not_input(output, read, &err)) return fail(err);
  std::vector<PlannedTensor> plan = output_plan(g);
  std::vector<uint32_t> source_of;
  if (!bind_tensors(model, plan, &source_of, &err)) return fail(err);

  fprintf(stderr, "korvane-convert: %s checkpoint, %zu file%s, %zu tensors checked; writing %s\n",
          source_format_name(model.format), model.files.size(), model.files.size() == 1 ? "" : "s",
          model.tensors.size(), output.c_str());
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
  return finish_stdout(" (the output file itself was written)");
}

}  // namespace

int main(int argc, char** argv) {
  // Before anything else: a closed pipe on standard error must not end a conversion.
  remove_partial_output_on_signal();
  std::vector<std::string> paths;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    if (a == "-h" || a == "--help" || a == "--version") {
      fputs(a == "--version" ? kVersion : kUsage, stdout);
      return finish_stdout("");
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
  // Memory is bounded by the readers' limits; should it run out all the same, the run ends
  // with the usual one-line reason instead of an abort.
  try {
    return convert(paths[0], output_file(paths.size() == 2 ? paths[1] : "gemma2b_fp16.bin"));
  } catch (const std::bad_alloc&) {
    remove_partial_output_now();
    return fail("out of memory (reading the checkpoint's headers or preparing the conversion)");
  }
}
