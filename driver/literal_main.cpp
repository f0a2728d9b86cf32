// The program with the literal schedules: every depth and measurement re-runs the prompt
// from position 0, one position at a time. Not installed; tests and the benchmark compare the
// program's output and speed against it.
#include "driver/run_program.h"

int main(int argc, char** argv) { return run_program(argc, argv, Schedule::literal); }
