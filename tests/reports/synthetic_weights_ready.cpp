// Prints the synthetic weights file's path once the file is there (made first when missing),
// for the script tests that run the program on it.
#include <cstdio>

#include "tests/support/synthetic_weights.h"

int main() {
  printf("%s\n", synthetic_weights_path().c_str());
  return 0;
}
