// Prints the synthetic weights file's path once the file is there (made first when missing),
// for the script tests that run the program on it; with --domain-variant, the path of its
// variant on which the splice arms.
#include <cstdio>
#include <cstring>

#include "tests/support/korvane_runs.h"
#include "tests/support/synthetic_weights.h"

int main(int argc, char** argv) {
  const bool variant = argc > 1 && std::strcmp(argv[1], "--domain-variant") == 0;
  printf("%s\n", (variant ? domain_variant_weights_path() : synthetic_weights_path()).c_str());
  return 0;
}
