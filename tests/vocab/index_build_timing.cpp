// Measures the token index build on the embedded vocabulary. The first build in a process
// is the one start-up pays (its tables and the image are touched for the first time); the
// repeated builds show the warm cost. Not a test; run it by hand:
//   build/tests/vocab/vocab_index_timing [runs]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "vocab/token_index.h"

namespace {
// Wall-clock milliseconds of one index build.
double timed_build() {
  const auto start = std::chrono::steady_clock::now();
  build_token_index();
  const auto stop = std::chrono::steady_clock::now();
  return std::chrono::duration<double, std::milli>(stop - start).count();
}
}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 50;
  const double first = timed_build();
  std::vector<double> warm;
  for (int i = 0; i < runs; ++i) warm.push_back(timed_build());
  std::sort(warm.begin(), warm.end());
  printf("token index build: %u entries; first build %.3f ms; %d warm builds: min %.3f ms, median %.3f ms, max %.3f ms\n",
         token_index().used, first, runs, warm.front(), warm[warm.size() / 2], warm.back());
  return 0;
}
