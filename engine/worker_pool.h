// The job area and the worker threads of the matrix-vector products.
#pragma once

#include <cstdint>

#include "kernels/job_area.h"
#include "platform/platform.h"

struct WorkerPool {
  JobHeader* area;   // header, then `workers` slots; committed zero-filled pages
  uint32_t workers;  // worker threads started, one per slot
};

// Workers to start on this machine: one fewer than the hardware threads, at most 3.
uint32_t default_worker_count();

// Needs: the worker image's start routine. Allocates and clears the job area, fills its
// header, then starts one thread per slot (slot k at area + 64k). Returns false when memory
// or a thread cannot be had.
bool start_worker_pool(ThreadRoutine start, uint32_t workers, WorkerPool* out);
