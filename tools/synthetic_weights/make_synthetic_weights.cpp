// make-synthetic-weights OUTPUT [--seed N]: writes a synthetic weights file of the model's
// exact size and layout (see synthetic_weights_gen.h).
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tools/synthetic_weights/synthetic_weights_gen.h"

int main(int argc, char** argv) {
  const char* out = nullptr;
  uint64_t seed = 1;
  for (int i = 1; i < argc; i++) {
    if (std::strcmp(argv[i], "--seed") == 0 && i + 1 < argc) {
      char* end = nullptr;
      seed = std::strtoull(argv[++i], &end, 0);
      if (*end != '\0') {
        std::fprintf(stderr, "bad seed: %s\n", argv[i]);
        return 2;
      }
    } else if (!out && argv[i][0] != '-') {
      out = argv[i];
    } else {
      out = nullptr;
      break;
    }
  }
  if (!out) {
    std::fprintf(stderr, "usage: make-synthetic-weights OUTPUT [--seed N]\n");
    return 2;
  }
  const auto t0 = std::chrono::steady_clock::now();
  if (!write_synthetic_weights(out, seed)) {
    std::fprintf(stderr, "cannot write %s: %s\n", out, std::strerror(errno));
    return 1;
  }
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::printf("wrote %s (seed %llu) in %.1f s\n", out, static_cast<unsigned long long>(seed), s);
  return 0;
}
