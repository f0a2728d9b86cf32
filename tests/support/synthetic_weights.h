// The synthetic weights file shared by the end-to-end tests: same size and layout as the
// model's file, deterministic values (tools/synthetic_weights), made once per build folder.
#pragma once

#include <cstdint>
#include <string>

// Seed of the file the tests use; tests regenerate tensors with it to check the layout.
inline constexpr uint64_t kSyntheticWeightsSeed = 1;

// Needs: nothing. Returns the file's path (the build's KORVANE_SYNTHETIC_WEIGHTS), writing
// the file first when it is missing or has the wrong size; concurrent test processes wait
// for one writer. When it cannot be written the path is returned all the same, and the
// caller's mapping fails.
const std::string& synthetic_weights_path();
