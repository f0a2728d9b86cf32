// Reader of GGUF files: magic "GGUF", version (2 or 3), tensor count, metadata count, the typed
// metadata pairs, the tensor table (name, dimensions innermost first, type, offset), then the
// data area starting at the next multiple of the alignment (general.alignment, default 32).
#pragma once

#include <string>

#include "tools/convert/source_model.h"

// Two facts about gemma GGUF files that the conversion relies on. Their norm vectors hold
// 1 + w: the usual converter adds one to every "norm.weight" on the way in, because the GGUF
// runtime multiplies by the stored vector as it is; the writer subtracts it again. The rows of
// attn_q and attn_k are stored in the checkpoint's own order, not permuted: that converter
// permutes q/k rows only for architectures whose rotation pairs adjacent dimensions, while
// gemma's rotation type pairs dimension d with d + head_dim / 2, as the flat layout does. So
// the rows are copied as they are.

// Element types of the tensor table that the converter takes.
inline constexpr uint32_t kGgufTypeF32 = 0;
inline constexpr uint32_t kGgufTypeF16 = 1;
inline constexpr uint32_t kGgufTypeBF16 = 30;

// What a GGUF header may make the reader hold, whatever the counts it declares: real files of
// this model have about 40 metadata pairs and 164 tensors, a few megabytes of names and texts.
inline constexpr uint64_t kMaxGgufPairs = 1u << 16;
inline constexpr uint64_t kMaxGgufTensors = 1u << 16;
inline constexpr uint64_t kMaxGgufKeptBytes = 64u << 20;  // keys, string values, tensor names
inline constexpr int kMaxGgufArrayDepth = 5;              // levels of arrays within arrays

// Needs: a path to a GGUF file. Reads metadata and tensor table into *model, requires
// general.architecture "gemma" and the size keys to match g, and marks the norms as holding
// 1 + w. Returns false with a one-line reason naming the file and key or tensor in *err
// (also for a key given twice and for a header past the limits above).
bool read_gguf(const std::string& path, const ModelGeometry& g, SourceModel* model, std::string* err);
