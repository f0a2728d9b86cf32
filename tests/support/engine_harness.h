// The engine over the synthetic weights, in-process: the mapped file, the rotary tables and a
// worker pool running the library's job loop, plus test-owned buffers of one context.
#pragma once

#include <cstdint>
#include <vector>

#include "model/inference_context.h"
#include "engine/weights_file.h"
#include "model/weights_layout.h"
#include "engine/worker_pool.h"

struct SyntheticEngine {
  WeightsStatus status;  // ok when the synthetic file is mapped
  WeightsView view;
  WorkerPool pool;  // area is null when the pool could not be started
};

// Needs: nothing. Maps the synthetic weights (making the file first if needed), builds the
// rotary tables and starts a pool, once per process.
const SyntheticEngine& synthetic_engine();

// Buffers of one context, owned by the test; the context starts as start-up leaves it.
struct ModelBuffers {
  std::vector<float> hidden = std::vector<float>(geom::kDim);    // f32[2048]
  std::vector<float> logits = std::vector<float>(geom::kVocab);  // f32[256000]
  std::vector<float> scratch = std::vector<float>(1u << 18);     // 1 MiB
  std::vector<float> keys = std::vector<float>(geom::kLayers * geom::kMaxPositions * geom::kKvDim);
  std::vector<float> values = std::vector<float>(geom::kLayers * geom::kMaxPositions * geom::kKvDim);
  InferenceContext ctx{};

  // Needs: the engine mapped. area may be null (every product on the calling thread).
  explicit ModelBuffers(void* area);
  ModelBuffers();  // with the engine's pool

  // Feeds one token at one position through the library's token_step.
  uint64_t step(uint64_t token, uint64_t position);
};

// The controls the batched tests give their sequences: sequence 1 steered after layers 3 and 9
// and spliced after 12; sequence 2 with head 6 of layer 5 knocked out and a bias of 4 on id 77;
// the others none.
struct TestControls {
  std::vector<float> splice = std::vector<float>(geom::kDim);               // f32[2048]
  std::vector<float> rows = std::vector<float>(geom::kLayers * geom::kDim);  // f32 [18][2048]
  TestControls();
  // Gives sequence s's controls to c.
  void apply(InferenceContext* c, uint64_t s) const;
};
