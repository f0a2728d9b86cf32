// Control vectors: GGUF files of architecture "controlvector" whose tensors direction.N (N >= 1,
// 2048 F32 or F16 elements) are added to the residual stream after decoder layer N (0-based).
// Every file given is summed into one table at start-up, which the kernels add after each
// layer where the mask says so.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "driver/run_options.h"
#include "model/weights_layout.h"

struct ControlTable {
  std::vector<float> rows = std::vector<float>(geom::kLayers * geom::kDim);  // f32 [18][2048]
  uint64_t mask = 0;  // bit l: some file gave direction.l and l is within the layer range
};

// Needs: the bytes of the file named path; 0 <= first <= last <= 17. Checks the whole file
// first: GGUF, general.architecture "controlvector", only direction.N tensors (N >= 1, each
// once) of 2048 F32 or F16 elements. Then, for every N in [first, last], row N += scale * the
// direction (in f32: the product rounded, then the sum; F16 widened exactly) and bit N of the
// mask is set. A direction past the model's last layer is skipped and so is a file's missing
// or other model hint, each with a line in *warnings. Returns false with a one-line reason
// starting with the path in *err, the table untouched.
bool add_control_vector(const std::string& path, const std::string& bytes, float scale, int first, int last,
                        ControlTable* table, std::vector<std::string>* warnings, std::string* err);

// Needs: parsed options. Reads every --control-vector file and adds them in command-line order
// into *table (starting from zeros). Returns false with a one-line reason in *err for a file
// that cannot be read, is not a regular file, is over 64 MiB or is refused as above.
bool build_control_table(const RunOptions& opts, ControlTable* table, std::vector<std::string>* warnings,
                         std::string* err);
