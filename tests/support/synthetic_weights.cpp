#include "tests/support/synthetic_weights.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tools/synthetic_weights/synthetic_weights_gen.h"

const std::string& synthetic_weights_path() {
  static const std::string path = [] {
    std::string p = KORVANE_SYNTHETIC_WEIGHTS;
    if (!ensure_synthetic_weights(p.c_str(), kSyntheticWeightsSeed))
      std::fprintf(stderr, "cannot make the synthetic weights file %s: %s\n", p.c_str(), std::strerror(errno));
    return p;
  }();
  return path;
}
