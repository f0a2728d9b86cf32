#include "driver/startup.h"

int main(int argc, char** argv) {
  static System sys;  // large (prompt buffers, context): kept off the stack
  start_up(&sys, argc, argv);
  return 0;
}
