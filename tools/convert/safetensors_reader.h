// Reader of safetensors checkpoints: an 8-byte little-endian header length, a JSON header
// naming each tensor's dtype, shape and byte range within the data area that follows it.
// Sharded checkpoints add an index file whose weight_map names the shard of every tensor.
// The published checkpoints store norm vectors as offsets from one (the model scales by 1 + w)
// and rotate dimension d with d + head_dim / 2 (the "rotate half" form), both as the flat
// layout wants, so their values are taken as they are.
#pragma once

#include <string>

#include "tools/convert/source_model.h"

// Largest header accepted; real ones are tens of kilobytes.
inline constexpr uint64_t kMaxSafetensorsHeader = 100ull << 20;

// Needs: a path to one .safetensors file. Reads its header into *model (tensor table, file
// sizes) and checks a config.json beside it, if any, against g. Returns false with *err.
bool read_safetensors(const std::string& path, const ModelGeometry& g, SourceModel* model, std::string* err);

// Needs: a path to a model.safetensors.index.json. Reads the index and every shard it names,
// checks that each tensor sits in the shard the index says, and config.json as above.
bool read_safetensors_index(const std::string& path, const ModelGeometry& g, SourceModel* model, std::string* err);

// Needs: the folder of a checkpoint. When config.json exists there, checks its model type and
// sizes against g; a missing file is fine. Returns false with *err naming the key.
bool check_hf_config(const std::string& folder, const ModelGeometry& g, std::string* err);
