// make-vector: a control vector from contrasting prompt pairs, the mean difference of their
// residual streams after each layer at the last prompt position.
#include <cmath>
#include <cstdio>

#include "lab/lab_commands.h"
#include "lab/lab_data.h"
#include "platform/gguf_file.h"

namespace {
constexpr size_t kDepths = geom::kLayers;
constexpr size_t kDim = geom::kDim;

// Each line {"positive": "...", "negative": "..."}: prompts 2i and 2i+1 are pair i's.
std::string read_pairs(const std::string& path, std::vector<std::string>* prompts) {
  std::vector<DataLine> lines;
  std::string why = read_data_lines(path, &lines);
  for (size_t i = 0; why.empty() && i < lines.size(); i++) {
    std::string positive, negative;
    why = data_prompt(path, lines[i], "positive", &positive);
    if (why.empty()) why = data_prompt(path, lines[i], "negative", &negative);
    prompts->push_back(positive);
    prompts->push_back(negative);
  }
  return why;
}

// direction = the mean over pairs of positive - negative after `layer` (summed in double in pair
// order), scaled to length 1 with `unit`; rounded to f32 last.
std::vector<float> mean_difference(const float* residual, size_t pairs, size_t layer, bool unit) {
  std::vector<double> sum(kDim, 0.0);
  for (size_t i = 0; i < pairs; i++) {
    const float* positive = residual + ((2 * i) * kDepths + layer) * kDim;
    const float* negative = residual + ((2 * i + 1) * kDepths + layer) * kDim;
    for (size_t j = 0; j < kDim; j++) sum[j] += double(positive[j]) - double(negative[j]);
  }
  double length = 0.0;
  for (size_t j = 0; j < kDim; j++) {
    sum[j] /= double(pairs);
    length += sum[j] * sum[j];
  }
  length = std::sqrt(length);
  std::vector<float> direction(kDim);
  for (size_t j = 0; j < kDim; j++) direction[j] = float(unit && length > 0.0 ? sum[j] / length : sum[j]);
  return direction;
}
}  // namespace

int make_vector_command(int argc, char** argv) {
  LabArgs args;
  std::string why = parse_lab_args(argc, argv, {"--unit"}, &args);
  if (!why.empty()) {
    fprintf(stderr, "korvane-lab: %s\n", why.c_str());
    return 2;
  }
  std::vector<std::string> prompts;  // positive, negative, positive, ...
  why = read_pairs(args.data, &prompts);
  if (!why.empty()) {
    fprintf(stderr, "korvane-lab: %s\n", why.c_str());
    return 1;
  }
  static System sys;  // large (prompt buffers, context): kept off the stack
  if (!start_lab_engine(&sys, args)) return 1;
  std::vector<float> residual(prompts.size() * kDepths * kDim);  // f32 [2 * pairs][18][2048]
  run_lab_prompts(&sys, prompts, nullptr, residual.data());

  GgufOut file;
  file.texts = {{"general.architecture", "controlvector"}, {"controlvector.model_hint", "gemma"}};
  file.counts = {{"controlvector.layer_count", uint32_t(kDepths - 1)}};
  // direction.1 .. direction.17, as the control-vector files of other tools hold them (none for layer 0).
  for (size_t layer = 1; layer < kDepths; layer++) {
    file.vectors.push_back({"direction." + std::to_string(layer),
                            mean_difference(residual.data(), prompts.size() / 2, layer, args.unit)});
  }
  why = write_file_whole(args.out, gguf_bytes(file));
  if (!why.empty()) {
    fprintf(stderr, "korvane-lab: %s\n", why.c_str());
    return 1;
  }
  printf("wrote %s: direction.1 .. direction.%zu from %zu pairs%s\n", args.out.c_str(), kDepths - 1,
         prompts.size() / 2, args.unit ? ", each of length 1" : "");
  return 0;
}
