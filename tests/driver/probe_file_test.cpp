// Every kind of unusable probe file stops the program at start-up with one fatal line naming
// the problem (the probe is chosen before the weights are looked for, so no weights are needed).
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <string>
#include <vector>

#include "platform/safetensors_header.h"
#include "probe/probe_file.h"
#include "tests/support/run_binary.h"
#include "tests/support/temp_dir.h"

namespace {
// A file of the given tensors (zero data) and axes metadata; an empty axes text leaves it out.
std::string raw_file(const std::string& axes, const std::vector<SafetensorsTensor>& tensors) {
  SafetensorsHeader h;
  if (!axes.empty()) h.metadata.emplace_back("axes", axes);
  uint64_t at = 0;
  for (SafetensorsTensor t : tensors) {
    uint64_t n = safetensors_dtype_size(t.dtype);
    for (uint64_t d : t.shape) n *= d;
    t.begin = at;
    t.end = at += n;
    h.tensors.push_back(t);
  }
  return safetensors_header_bytes(h) + std::string(at, '\0');
}

// The three tensors of a two-axis probe in the shared form, with one changed by `change`.
std::string two_axes(const std::string& axes, const char* tensor = "", const char* dtype = "F32",
                     std::vector<uint64_t> shape = {}) {
  std::vector<SafetensorsTensor> t = {{"probe.weight", "F32", {2, 2048}, 0, 0},
                                      {"probe.bias", "F32", {2}, 0, 0},
                                      {"probe.baseline", "F32", {2048}, 0, 0}};
  for (SafetensorsTensor& x : t) {
    if (x.name != tensor) continue;
    x.dtype = dtype;
    if (!shape.empty()) x.shape = shape;
  }
  return raw_file(axes, t);
}

// A valid per-depth probe of two axes with one NaN in row 9's second direction.
std::string with_nan() {
  Probe p;
  p.axes = 2;
  snprintf(p.names[0], sizeof p.names[0], "truth");
  snprintf(p.names[1], sizeof p.names[1], "domain");
  memcpy(p.labels, p.names, sizeof p.labels);
  p.tables.assign(kProbeDepthTables, ProbeTable{});
  p.tables[9].weights[1][7] = std::nanf("");
  return probe_file_bytes(p);
}
}  // namespace

TEST(ProbeFile, EachUnusableFileIsOneFatalLineNamingTheProblem) {
  struct Case {
    const char* what;
    std::string bytes;
    std::vector<std::string> args;
    std::string reason;  // the fatal line's end
  };
  const Case cases[] = {
      {"not safetensors", "name,value\n1,2\n", {}, "it is not a safetensors file (its first 8 bytes give a header of"},
      {"header not JSON", std::string("\x08\0\0\0\0\0\0\0{\"a\":1,\x7f", 16), {}, "it is not a safetensors file: header is not valid JSON"},
      {"missing truth axis", two_axes("alpha,domain"), {}, "The probe has no axis named \"truth\" for the splice vector"},
      {"missing gate axis", two_axes("truth,beta"), {"--splice-substitute"}, "The probe has no axis named \"domain\" for the splice's gate"},
      {"missing named axis", two_axes("truth,beta"), {"--audit-heads", "--audit-axis", "Gamma"}, "no axis named \"Gamma\" for the audit"},
      {"wrong shape", two_axes("truth,domain", "probe.bias", "F32", {3}), {}, "tensor probe.bias has shape [3]; with 2 axes it must be [2]"},
      {"wrong form", two_axes("truth,domain", "probe.baseline", "F32", {18, 2048}), {}, "tensor probe.baseline has shape [18, 2048]; with 2 axes it must be [2048]"},
      {"weights of 3 axes", two_axes("truth,domain", "probe.weight", "F32", {3, 2048}), {}, "tensor probe.weight has shape [3, 2048]; with 2 axes it must be [2, 2048] or [18, 2, 2048]"},
      {"wrong dtype", two_axes("truth,domain", "probe.weight", "F16"), {}, "tensor probe.weight is F16, not F32"},
      {"missing tensor", raw_file("truth", {{"probe.weight", "F32", {1, 2048}, 0, 0}}), {}, "it has no tensor probe.bias"},
      {"NaN", with_nan(), {}, "tensor probe.weight holds NaN (element 7)"},
      {"no axes metadata", two_axes(""), {}, "its __metadata__ has no \"axes\""},
      {"nine axes", two_axes("a,b,c,d,e,f,g,h,i"), {}, "names 9 axes; at most 8"},
      {"long name", two_axes("truth,elevenbytes"), {}, "\"elevenbytes\", not 1 to 10 bytes of printable ASCII"},
      {"empty name", two_axes("truth,"), {}, "\"\", not 1 to 10 bytes of printable ASCII"},
      {"same name twice", two_axes("truth,Truth"), {}, "its axes name \"Truth\" twice"},
      {"a record's field", two_axes("truth,hash"), {}, "its axis \"hash\" would clash with the records' field"},
  };
  TempDir dir;
  for (const Case& c : cases) {
    const std::string path = dir.file("probe.safetensors");
    std::ofstream(path, std::ios::binary | std::ios::trunc) << c.bytes;
    std::vector<std::string> argv = {KORVANE_BINARY, "--probe", path};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const RunResult r = run_binary(argv, dir.path);
    EXPECT_EQ(r.status, 1) << c.what;
    const size_t fatal = r.out.find("\xE2\x9D\x8C [FATAL] ");
    ASSERT_NE(fatal, std::string::npos) << c.what << "\n" << r.out;
    const std::string line = r.out.substr(fatal);
    EXPECT_EQ(line.find('\n'), line.size() - 1) << c.what << ": the fatal line is the last";
    EXPECT_NE(line.find(c.reason), std::string::npos) << c.what << "\n" << line;
    EXPECT_EQ(r.out.find("[3/5]"), std::string::npos) << c.what << ": stopped before the weights";
  }
}
