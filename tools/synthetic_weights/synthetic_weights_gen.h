// A deterministic stand-in for the model's weights file: same size and byte layout, values
// drawn from a seeded generator with magnitudes that keep the activations of every layer in
// a sane range (matrices about 1/sqrt(fan-in), norm offsets within +-0.1, embeddings within
// +-0.05). Used by tests and benchmarks; never shipped.
#pragma once

#include <cstdint>

// One tensor of the file and how its values are drawn: uniform in [-bound, bound).
struct SyntheticTensor {
  uint64_t offset;  // byte offset in the file
  uint64_t count;   // number of values
  bool is_f16;      // fp16 matrix (else f32 vector)
  float bound;
};

// Tensors in file order: 9 per layer (attn_norm, ffn_norm, wq, wk, wv, wo, w_gate, w_up,
// w_down), then final_norm and embedding_table.
inline constexpr uint32_t kSyntheticTensorCount = 18 * 9 + 2;

// Needs: index < kSyntheticTensorCount. Returns where that tensor sits and its value range.
SyntheticTensor synthetic_tensor(uint32_t index);

// Values are drawn in independent blocks of this many values, so any block can be
// regenerated on its own.
inline constexpr uint64_t kSyntheticBlockValues = 1u << 20;

// Needs: out with room for count values of the tensor's type (uint16_t fp16 or float);
// first and count multiples of 8. Writes values first .. first+count-1 of tensor
// `index` for the given seed, exactly as they appear in the file.
void synthetic_values(uint64_t seed, uint32_t index, uint64_t first, uint64_t count, void* out);

// Raised whenever the values drawn for a seed change, so that old files are rewritten.
inline constexpr uint32_t kSyntheticVersion = 2;

// Needs: a writable path. Writes the whole file (5,012,496,384 bytes) under a temporary
// name beside it, renames it into place, then records version and seed in path + ".stamp".
// Returns false (with errno set) on failure.
bool write_synthetic_weights(const char* path, uint64_t seed);

// Needs: a path whose directory may be created. Makes sure the file for `seed` exists
// there (full size, stamp of this version and seed), writing it when it does not. Holds an
// exclusive lock on path + ".lock" meanwhile, so concurrent callers write it once. Returns
// false (with errno set) when it cannot.
bool ensure_synthetic_weights(const char* path, uint64_t seed);
