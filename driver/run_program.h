// The program after its entry point: start-up, then the run mode the options chose.
#pragma once

// How the modes drive the model. `shared` is the program's: the prompt runs layer by layer in
// batched blocks, once per distinct computation. `literal` feeds the prompt one position at a
// time and re-runs it from position 0 for every depth and measurement; it prints the same
// bytes and is kept as the reference that tests and benchmarks compare against.
enum class Schedule { shared, literal };

// Needs: main's arguments. Returns the process's exit status (failures exit on their own).
int run_program(int argc, char** argv, Schedule schedule);
