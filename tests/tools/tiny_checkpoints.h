// Tiny checkpoints written by the tests themselves, in both input formats, with values chosen
// per tensor from a seed so each test knows what every byte of the converted file must be.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/convert/half_convert.h"
#include "tools/convert/model_geometry.h"

// Small enough to write in a millisecond; every shape differs from every other.
inline constexpr ModelGeometry kTinyGeometry{2, 16, 2, 8, 1, 24, 40};

// One tensor as the test stores it in a checkpoint.
struct TinyTensor {
  std::string name;
  DType dtype;
  std::vector<uint64_t> shape;  // outermost first
  std::vector<unsigned char> data;
  PlannedTensor planned;        // where it must land
};

// Needs: a geometry. Returns every tensor of a checkpoint of that geometry, named for the
// format (gguf: norms hold 1 + w), matrices stored as `dtype`, norms as `norm_dtype`.
std::vector<TinyTensor> tiny_tensors(const ModelGeometry& g, bool gguf, DType dtype, DType norm_dtype,
                                     uint32_t seed);

// Needs: a tensor from tiny_tensors. Returns the bytes the converted file must hold for it.
std::vector<unsigned char> expected_output_bytes(const TinyTensor& t, bool gguf);

// Needs: tensors from tiny_tensors (f32 or bf16 matrices). Returns what converting their
// matrix values to fp16 must count, found with the processor's own conversion.
HalfStats reference_half_stats(const std::vector<TinyTensor>& tensors);

// Needs: tensors. Writes one safetensors file (data stored in reverse order, so offsets matter).
void write_safetensors(const std::string& path, const std::vector<TinyTensor>& tensors);
// Same, with the header text given verbatim (for corrupt headers) and the data appended.
void write_safetensors_raw(const std::string& path, const std::string& header, const std::vector<unsigned char>& data);

// Needs: a folder and tensors. Writes them into `shards` files model-0000k-of-0000n.safetensors
// and a model.safetensors.index.json naming each tensor's shard.
void write_sharded_safetensors(const std::string& folder, const std::vector<TinyTensor>& tensors, int shards);

// A metadata pair of a GGUF file the tests write: an integer (u32), a string, or an array of
// strings.
struct GgufKv {
  std::string key;
  enum Kind { u32, string, strings } kind;
  uint32_t number = 0;
  std::string text;
  std::vector<std::string> texts;
};

// Needs: a geometry. Returns the metadata of a gemma GGUF file of that geometry (with a small
// token list, to be stepped over).
std::vector<GgufKv> gemma_gguf_metadata(const ModelGeometry& g);

// Needs: tensors. Writes a GGUF v3 file with the metadata, the tensor table (dimensions
// innermost first) and the aligned data area (alignment 32).
void write_gguf(const std::string& path, const std::vector<GgufKv>& meta, const std::vector<TinyTensor>& tensors);

// Needs: a path. Returns the whole file's bytes (empty when it cannot be read).
std::vector<unsigned char> read_whole_file(const std::string& path);
