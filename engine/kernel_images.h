// Loading of the two embedded machine-code images into executable memory.
#pragma once

#include <cstdint>

#include "model/inference_context.h"
#include "platform/platform.h"

extern "C" {
extern const uint8_t kernel_image_bytes[];  // the kernel image: entry stubs, then code
extern const uint64_t kernel_image_length;
extern const uint8_t worker_image_bytes[];  // the worker image: start routine at byte 0
extern const uint64_t worker_image_length;
extern const uint8_t kernel_image_wide_bytes[];  // the same images built for AVX-512
extern const uint64_t kernel_image_wide_length;
extern const uint8_t worker_image_wide_bytes[];
extern const uint64_t worker_image_wide_length;
}

typedef uint64_t(KV_ABI* TokenStepFn)(InferenceContext* ctx);
struct LayerBlock;
typedef uint64_t(KV_ABI* LayerBlockFn)(const LayerBlock* block);

// Byte offset of the batched layer's stub in the kernel image's entry table.
inline constexpr uint64_t kLayerBlockEntry = 48;

struct LoadedImages {
  TokenStepFn token_step;     // first byte of the kernel image copy (entry stub 0)
  ThreadRoutine worker_start; // first byte of the worker image copy
  LayerBlockFn layer_block;   // entry stub 3 of the kernel image copy
  const uint8_t* kernel_copy; // the copies, read-execute, never freed
  const uint8_t* worker_copy;
  bool wide;                  // the AVX-512 variant was loaded
};

// Which pair of images to load. `automatic` (the program's choice) takes the wide pair where
// the processor has AVX-512, else the AVX2 pair; both give the same bits.
enum class ImageChoice { avx2, wide, automatic };

// Needs: nothing (for `wide`, a processor with AVX-512). Copies each image of the chosen pair
// into fresh pages of its length + 4096 bytes, read-write first, then read-execute, and writes
// the entry points to out. Returns false when memory cannot be had.
bool load_kernel_images(LoadedImages* out, ImageChoice choice = ImageChoice::avx2);
