// Finding and mapping the flat weights file.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

inline constexpr const char* kWeightsFileName = "gemma2b_fp16.bin";

// Needs: buf of cap bytes. Writes the path to use: the file in the current directory if it
// exists, else korvane/models/<name> if that exists, else the plain name (so that the error
// names it).
void choose_weights_path(char* buf, size_t cap);

struct WeightsView {
  const uint8_t* base;  // first byte of the private read-only view
  uint64_t size;        // the file's size
  FileKind kind;        // what the path named; not regular only for a refused non-file
};

enum class WeightsStatus { ok, open_failed, map_failed, truncated };

// Needs: a path. Opens and maps the whole file; a file shorter than the layout's end is
// refused before anything reads it. Writes out (and *error for open failures; out->kind
// says what was found when the path names no regular file).
WeightsStatus open_weights(const char* path, WeightsView* out, unsigned long* error);
