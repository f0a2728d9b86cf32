// The converter's view of a GGUF checkpoint: the container is read by platform/gguf_file, this
// reader checks the architecture and the sizes and takes F32, F16 and BF16 tensors.
#pragma once

#include <string>

#include "platform/gguf_file.h"
#include "tools/convert/source_model.h"

// Two facts about gemma GGUF files that the conversion relies on. Their norm vectors hold
// 1 + w: the usual converter adds one to every "norm.weight" on the way in, because the GGUF
// runtime multiplies by the stored vector as it is; the writer subtracts it again. The rows of
// attn_q and attn_k are stored in the checkpoint's own order, not permuted: that converter
// permutes q/k rows only for architectures whose rotation pairs adjacent dimensions, while
// gemma's rotation type pairs dimension d with d + head_dim / 2, as the flat layout does. So
// the rows are copied as they are.

// Needs: a path to a GGUF file. Reads metadata and tensor table into *model, requires
// general.architecture "gemma" and the size keys to match g, and marks the norms as holding
// 1 + w. Returns false with a one-line reason naming the file and key or tensor in *err
// (also for a key given twice and for a header past the reader's limits).
bool read_gguf(const std::string& path, const ModelGeometry& g, SourceModel* model, std::string* err);
