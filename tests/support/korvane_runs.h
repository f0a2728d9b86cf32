// Runs of the real program over the synthetic weights, shared between test processes: each
// distinct run (weights, arguments, program build) happens once per build folder and its
// output is kept in a file there, since one run streams hundreds of gigabytes.
#pragma once

#include <string>
#include <vector>

#include "tests/support/run_binary.h"

// Needs: nothing. The synthetic weights with token 108's embedding row replaced by 16 times
// the probe's unit Domain direction (fp16). Every templated prompt ends with token 108, so on
// this file the probe reads a positive Domain after 16 layers and the splice arms. Made once
// from the standard file (copy, then one 4096-byte row patched).
const std::string& domain_variant_weights_path();

// Needs: a weights file path. Runs korvane with args in a fresh directory holding a link
// named gemma2b_fp16.bin to weights, or returns the kept result of the same run.
RunResult korvane_run(const std::string& weights, const std::vector<std::string>& args);

// The same for any build of the program (e.g. the literal-schedule build) with extra
// environment settings ("NAME=value"). The kept result is keyed by the program's bytes, so
// relinking it unchanged keeps it.
RunResult korvane_run_program(const std::string& binary, const std::string& weights,
                              const std::vector<std::string>& args, const std::vector<std::string>& env = {});
