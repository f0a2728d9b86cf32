// The state file: a safetensors file holding, for every prompt of a run, the hidden states the
// telemetry reads and the residual stream a steering vector is added to, written as the
// prompts finish and completed atomically.
//
// Layout of the finished file (numpy alone reads it):
//   8 bytes   N, the header's length, unsigned little-endian; N is a multiple of 8
//   N bytes   JSON header, padded with spaces:
//               "__metadata__": {"prompts": <JSON text>, "run": <JSON text>}  (string values)
//               "<index>.normed":   {"dtype":"F32","shape":[18,2048],"data_offsets":[b,e]}
//               "<index>.residual": {"dtype":"F32","shape":[18,2048],"data_offsets":[b,e]}
//               "<index>.ids":      {"dtype":"I32","shape":[n],"data_offsets":[b,e]}
//   data      the tensors back to back, little-endian, in the order they were added, with no
//             gaps (offsets count from the first data byte)
//
// How it is written: the header can only be known at the end, but the data may not fit in
// memory (288 KiB a prompt), so add_prompt streams the data into a spill file in the target's
// own folder that never has a name (O_TMPFILE; else a hidden name removed at once; on Windows
// deleted on close). state_file_finish then writes header + spilled data into a second
// temporary file in that folder, flushes it and renames it over the target. Nothing is ever
// under the target's name but a complete file; a previous file of that name stays as it was
// until the rename. The only thing a killed process can leave is a hidden ".<name>.partial-*"
// beside the target, and only when killed inside finish on a file system without O_TMPFILE.
//
// What the driver passes (contract for the capture in the runs): for each prompt that ran,
// its global index (unique in the file), normed[d * 2048 + i] = the final-normalised state at
// the last prompt position after layers 0 .. d (exactly the vector telemetry row d reads),
// residual[d * 2048 + i] = the raw residual stream at that position after layer d (before
// any normalisation; the splice adds to this), and the prefill ids; at the end the prompts as
// a JSON array text and the run object as JSON text.
//
// Readers built on the safetensors library refuse headers above 100 MB: about 300 000 prompts
// of short text. numpy alone has no such limit.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

#include "model/weights_layout.h"

inline constexpr uint64_t kStateRows = geom::kLayers;                            // one per depth
inline constexpr uint64_t kStateFloats = geom::kLayers * geom::kDim;             // one tensor
inline constexpr uint64_t kStateTensorBytes = kStateFloats * sizeof(float);      // 147456

struct StatePromptEntry {
  int64_t index;
  int32_t id_count;
};

// One state file being written. Plain data: move it around, but finish or abandon it once.
struct StateFile {
  std::string path;                       // the target name
  std::string folder;                     // where the temporary files live
  intptr_t spill = -1;                    // the spill file's descriptor or handle; -1 when none
  uint64_t data_bytes = 0;                // spilled so far
  std::vector<StatePromptEntry> prompts;  // in the order added
  std::unordered_set<int64_t> indices;    // the same, to refuse a repeated index
  std::string error;                      // the first failure; every later call returns it
};

// Needs: a target path in a writable folder. Creates the spill file beside it; writes nothing
// under path. Returns "" or a one-line reason (the file is then unusable, nothing is left).
std::string state_file_open(StateFile* f, const std::string& path);

// Needs: an open file, an index not added before, normed and residual of kStateFloats floats
// each (layout in the contract above), ids of n >= 1 values. Appends the three tensors' data.
// Returns "" or a one-line reason; after a failure the file is abandoned (nothing is left).
std::string state_file_add_prompt(StateFile* f, int64_t index, const float* normed, const float* residual,
                                  const int32_t* ids, int32_t n);

// Needs: an open file and two valid JSON texts. Writes the complete file under its path and
// releases everything. Returns "" or a one-line reason; on failure nothing new is under path.
std::string state_file_finish(StateFile* f, const std::string& prompts_json, const std::string& run_json);

// Releases an open file without writing anything under its path (safe on any StateFile).
void state_file_abandon(StateFile* f);
