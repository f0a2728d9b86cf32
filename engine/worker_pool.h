// The job area and the worker threads of the matrix-vector products.
#pragma once

#include <cstdint>

#include "model/job_area.h"
#include "platform/platform.h"

struct WorkerPool {
  JobHeader* area;   // header, then `workers` slots; committed zero-filled pages
  uint32_t workers;  // worker threads started, one per slot
};

// The most threads (the calling thread included) a product is ever split over.
inline constexpr uint32_t kMaxThreads = 256;

// Workers to start on this machine: one per hardware thread beyond the calling one.
uint32_t default_worker_count();

// Needs: the text of the thread-count setting (KORVANE_THREADS), or null when it is not set.
// Writes *workers: the setting minus one (it counts the calling thread), or
// default_worker_count() when it is null. Returns false, leaving *workers alone, when the
// text is not a whole decimal number from 1 to kMaxThreads.
bool worker_count_from_setting(const char* text, uint32_t* workers);

// Needs: the worker image's start routine. Allocates and clears the job area, fills its
// header, then starts one thread per slot (slot k at area + 64k). Returns false when memory
// or a thread cannot be had.
bool start_worker_pool(ThreadRoutine start, uint32_t workers, WorkerPool* out);
