#include "engine/kernel_images.h"

bool load_kernel_images(LoadedImages* out) {
  // The copies get a page of slack beyond each image, as the loader always has.
  void* kernel = exec_memory_create(kernel_image_bytes, kernel_image_length, kernel_image_length + 4096);
  if (!kernel) return false;
  void* worker = exec_memory_create(worker_image_bytes, worker_image_length, worker_image_length + 4096);
  if (!worker) return false;
  out->kernel_copy = static_cast<const uint8_t*>(kernel);
  out->worker_copy = static_cast<const uint8_t*>(worker);
  out->token_step = reinterpret_cast<TokenStepFn>(kernel);
  out->worker_start = reinterpret_cast<ThreadRoutine>(worker);
  out->layer_block = reinterpret_cast<LayerBlockFn>(static_cast<uint8_t*>(kernel) + kLayerBlockEntry);
  return true;
}
