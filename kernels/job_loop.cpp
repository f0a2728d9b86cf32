// Placeholder body until the engine lands: serves nothing but the stop flag.
#include "kernels/kernels.h"

extern "C" KV_ABI uint32_t job_loop(JobSlot* slot) {
  while (!__atomic_load_n(&slot->stop, __ATOMIC_ACQUIRE)) __builtin_ia32_pause();
  return 0;
}
