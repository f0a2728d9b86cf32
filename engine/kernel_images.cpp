#include "engine/kernel_images.h"

#include "engine/cpu_features.h"

bool load_kernel_images(LoadedImages* out, ImageChoice choice) {
  const bool wide = choice == ImageChoice::wide || (choice == ImageChoice::automatic && wide_kernels_supported());
  const uint8_t* kernel_bytes = wide ? kernel_image_wide_bytes : kernel_image_bytes;
  const uint64_t kernel_length = wide ? kernel_image_wide_length : kernel_image_length;
  const uint8_t* worker_bytes = wide ? worker_image_wide_bytes : worker_image_bytes;
  const uint64_t worker_length = wide ? worker_image_wide_length : worker_image_length;
  // The copies get a page of slack beyond each image, as the loader always has.
  void* kernel = exec_memory_create(kernel_bytes, kernel_length, kernel_length + 4096);
  if (!kernel) return false;
  void* worker = exec_memory_create(worker_bytes, worker_length, worker_length + 4096);
  if (!worker) return false;
  out->wide = wide;
  out->kernel_copy = static_cast<const uint8_t*>(kernel);
  out->worker_copy = static_cast<const uint8_t*>(worker);
  out->token_step = reinterpret_cast<TokenStepFn>(kernel);
  out->worker_start = reinterpret_cast<ThreadRoutine>(worker);
  out->layer_block = reinterpret_cast<LayerBlockFn>(static_cast<uint8_t*>(kernel) + kLayerBlockEntry);
  return true;
}
