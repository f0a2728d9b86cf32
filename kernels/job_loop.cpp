// The loop each worker thread runs on its job slot: take a posted block of rows, compute it,
// count itself done. An idle worker spins for a short while, then parks in the host's wait
// routine so that it holds no core while the program is not computing.
#include <immintrin.h>

#include "kernels/kernels.h"

namespace {

// Needs: a slot whose post_seq has just been seen to differ from seen_seq (acquire), and its
// header. Runs the posted rows (for one vector), or claims units of a batched product until
// none is left, and reports completion on the header's counter.
inline void run_job(JobSlot* slot, uint32_t seq, JobHeader* header) {
  slot->seen_seq = seq;
  const uint32_t batch = header->batch;
  if (batch > 1) {
    gemm_claim_units(slot, header);
  } else {
    dot_rows_f16(slot->out, slot->matrix, slot->vector, slot->cols, slot->rows);
  }
  // Release: the rows written above are visible to whoever sees the new count.
  __atomic_fetch_add(slot->done_counter, 1u, __ATOMIC_RELEASE);
}

}  // namespace

extern "C" KV_ABI uint32_t job_loop(JobSlot* slot) {
  // slot: this worker's record inside the job area, owned by the host for the life of the process.
  // The header is found through done_counter (done_count sits at offset 0 of the header), which
  // the pool fills before the thread starts; until it is known the worker only spins. Its wait
  // routine and spin budget never change, and copying them keeps the idle loop off the header's
  // cache line, which the dispatcher writes.
  JobHeader* header = reinterpret_cast<JobHeader*>(slot->done_counter);
  AddressWaitFn wait = header && header->spin_cycles ? header->wait : nullptr;
  uint64_t budget = header ? header->spin_cycles : 0;
  uint64_t idle_since = __builtin_ia32_rdtsc();
  for (;;) {
    uint32_t seq = __atomic_load_n(&slot->post_seq, __ATOMIC_ACQUIRE);
    if (seq != slot->seen_seq) {
      if (header == nullptr) {  // an area whose owner left done_counter for the first post
        header = reinterpret_cast<JobHeader*>(slot->done_counter);
        wait = header->spin_cycles ? header->wait : nullptr;
        budget = header->spin_cycles;
      }
      run_job(slot, seq, header);
      idle_since = __builtin_ia32_rdtsc();
      continue;
    }
    if (__atomic_load_n(&slot->stop, __ATOMIC_RELAXED) != 0) return 0;
    if (wait == nullptr || __builtin_ia32_rdtsc() - idle_since < budget) {
      _mm_pause();
      continue;
    }
    // Park: announce it, then look once more, so that a post made before the announcement is
    // seen here and one made after it finds parked set and wakes us. The wait itself returns
    // at once if post_seq has already moved on.
    __atomic_store_n(&slot->parked, 1u, __ATOMIC_SEQ_CST);
    if (__atomic_load_n(&slot->post_seq, __ATOMIC_SEQ_CST) == seq) wait(&slot->post_seq, seq);
    __atomic_store_n(&slot->parked, 0u, __ATOMIC_RELAXED);
    idle_since = __builtin_ia32_rdtsc();
  }
}
