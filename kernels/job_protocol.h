// The dispatcher's side of the job area's protocol, shared by every product that uses the pool.
#pragma once

#include <cstdint>

#include "model/job_area.h"

// Needs: slot s of area, its job fields filled for job `seq`. Publishes the job to its worker.
inline void job_post(JobHeader* area, JobSlot* s, uint32_t seq) {
  // The pool sets done_counter before the worker starts and the worker reads it while idle, so
  // it is written here only for an area whose owner left it empty.
  if (s->done_counter != &area->done_count) s->done_counter = &area->done_count;
  __atomic_store_n(&s->post_seq, seq, __ATOMIC_RELEASE);  // publishes the fields written before
}

// Needs: every slot posted. Wakes the workers that have parked.
inline void job_wake_parked(JobHeader* area, JobSlot* slots, uint32_t workers) {
  // Pairs with the worker's parked store and post_seq re-check: one of the two sides sees the other.
  __atomic_thread_fence(__ATOMIC_SEQ_CST);
  for (uint32_t k = 0; k < workers; k++) {
    if (__atomic_load_n(&slots[k].parked, __ATOMIC_RELAXED) != 0) area->wake(&slots[k].post_seq);
  }
}

// Needs: done_count reset before the posts. Returns once every worker has counted itself done
// (acquire: their rows are visible to the caller).
inline void job_wait_done(const JobHeader* area, uint32_t workers) {
  while (__atomic_load_n(&area->done_count, __ATOMIC_ACQUIRE) < workers) __builtin_ia32_pause();
}
