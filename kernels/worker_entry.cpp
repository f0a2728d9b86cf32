// The worker image begins with this routine: a thread's start address is its first byte.
#include "kernels/kernels.h"

extern "C" __attribute__((section(".text.image_entry"))) KV_ABI uint32_t worker_entry(void* slot) {
  return job_loop(static_cast<JobSlot*>(slot));
}
