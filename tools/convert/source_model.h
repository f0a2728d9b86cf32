// What a reader learns from a checkpoint: its files and, for every tensor, where its values
// lie and how they are stored. Nothing is read from the data areas until the conversion runs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/convert/half_convert.h"
#include "tools/convert/model_geometry.h"

enum class SourceFormat : uint8_t { safetensors, gguf };

struct SourceTensor {
  std::string name;             // as the checkpoint names it
  uint32_t file;                // index into SourceModel::files
  uint64_t offset;              // first byte of the values, from the start of that file
  uint64_t bytes;               // byte count of the values
  DType dtype;
  std::vector<uint64_t> shape;  // outermost first: [rows, columns] for matrices, [n] for vectors
};

struct SourceModel {
  SourceFormat format;
  std::vector<std::string> files;
  std::vector<uint64_t> file_sizes;  // bytes, one per file, when the headers were read
  std::vector<std::string> also_read;  // other files read for the checks (index, config.json)
  std::vector<SourceTensor> tensors;
  bool norms_hold_one = false;       // norm vectors store 1 + w (the layout wants w)
};

// Needs: nothing. Returns "safetensors" or "GGUF".
const char* source_format_name(SourceFormat f);

// Needs: a path to a .gguf file, a model.safetensors file, a model.safetensors.index.json file
// or a folder holding one of the last two. Tells the formats apart by their first bytes,
// reads the headers (only), checks them for consistency and against the geometry's metadata,
// and fills *model; or returns false with a one-line reason naming the file (and the tensor
// or key, or the bytes found where a format's start was expected) in *err.
bool open_source_model(const std::string& path, const ModelGeometry& g, SourceModel* model, std::string* err);

// Needs: path of a file. Fills *size with its length in bytes, or returns false with *err set.
bool file_size_of(const std::string& path, uint64_t* size, std::string* err);

// Needs: a model filled by a reader. Returns false with *err naming both tensors when two
// tensors of one file share bytes.
bool check_no_overlap(const SourceModel& model, std::string* err);

// Needs: an open file descriptor. Reads exactly n bytes at offset into out (retrying short
// reads), or returns false at the end of the file or on an error.
bool read_exact(int fd, void* out, uint64_t n, uint64_t offset);
