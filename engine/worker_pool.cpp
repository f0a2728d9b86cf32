#include "engine/worker_pool.h"

#include "engine/cpu_features.h"

uint32_t default_worker_count() {
  unsigned hw = hardware_threads();
  if (hw > kMaxThreads) hw = kMaxThreads;
  return hw <= 1 ? 0u : hw - 1;
}

bool worker_count_from_setting(const char* text, uint32_t* workers) {
  if (text == nullptr) {
    *workers = default_worker_count();
    return true;
  }
  // Digits only: no sign, no spaces, no suffix; leading zeros are harmless.
  uint32_t n = 0;
  if (*text == '\0') return false;
  for (const char* c = text; *c; c++) {
    if (*c < '0' || *c > '9') return false;
    n = n * 10 + uint32_t(*c - '0');
    if (n > kMaxThreads) return false;
  }
  if (n == 0) return false;
  *workers = n - 1;
  return true;
}

bool start_worker_pool(ThreadRoutine start, uint32_t workers, WorkerPool* out) {
  out->area = static_cast<JobHeader*>(pages_alloc(job_area_bytes(workers)));
  out->workers = 0;
  if (!out->area) return false;
  JobHeader* header = out->area;
  header->worker_count = workers;
  header->spin_cycles = 200000;  // roughly 50-100 microseconds before an idle worker parks
  header->wide_passes = wide_passes_preferred();
  header->wait = address_wait;
  header->wake = address_wake_one;
  auto* slots = reinterpret_cast<JobSlot*>(header + 1);
  // Each worker finds the header through its slot's done_counter from the start, so it can
  // park before the first product is ever posted.
  for (uint32_t k = 0; k < workers; k++) slots[k].done_counter = &header->done_count;
  for (uint32_t k = 0; k < workers; k++) {
    if (!thread_start(start, &slots[k])) return false;
    out->workers = k + 1;
  }
  return true;
}
