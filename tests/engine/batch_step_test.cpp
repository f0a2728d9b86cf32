// Decode steps of several sequences at once against token_step on each alone, bit for bit:
// sequences at different positions with their own histories, control rows, splice and
// knockout, for batches of 1, 2 and 3; next ids, logits and every cache row written.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "engine/batch_step.h"
#include "kernels/kernels.h"
#include "model/layer_block.h"
#include "tests/kernels/test_data.h"
#include "tests/support/engine_harness.h"

namespace {

using testdata::first_bit_difference;

uint64_t library_entry(const LayerBlock* b) { return layer_block(b); }

TEST(BatchStep, EachSequenceGetsWhatItsOwnTokenStepGives) {
  ASSERT_EQ(synthetic_engine().status, WeightsStatus::ok);
  BatchStep step{};
  ASSERT_TRUE(make_batch_step(&step, &library_entry, 3));
  const TestControls controls;
  const std::vector<std::vector<uint64_t>> prompts = {{2, 106, 1645}, {2, 651, 9, 77, 3000}, {2, 4521}};
  const uint64_t history[3][2] = {{1645, 1645}, {9, 0}, {0, 0}};

  for (uint64_t count = 1; count <= 3; count++) {
    std::vector<std::unique_ptr<ModelBuffers>> alone, together;
    std::vector<InferenceContext*> seqs;
    for (uint64_t s = 0; s < count; s++) {
      for (auto* set : {&alone, &together}) {
        set->push_back(std::make_unique<ModelBuffers>());
        InferenceContext& c = set->back()->ctx;
        c.history = history[s];
        c.history_count = s == 0 ? 2 : s == 1 ? 1 : 0;
        controls.apply(&c, s);
        for (uint64_t p = 0; p < prompts[s].size(); p++) set->back()->step(prompts[s][p], p);
      }
      seqs.push_back(&together[s]->ctx);
    }
    for (int round = 0; round < 2; round++) {
      std::vector<uint64_t> want(count);
      for (uint64_t s = 0; s < count; s++) {
        const uint64_t token = 300 + 17 * s + uint64_t(round), position = prompts[s].size() + uint64_t(round);
        want[s] = alone[s]->step(token, position);
        together[s]->ctx.token_id = token;
        together[s]->ctx.position = position;
      }
      run_batch_step(step, seqs.data(), count);
      for (uint64_t s = 0; s < count; s++) {
        SCOPED_TRACE("batch of " + std::to_string(count) + ", sequence " + std::to_string(s) + ", round " +
                     std::to_string(round));
        EXPECT_EQ(step.next[s], want[s]);
        EXPECT_EQ(first_bit_difference(step.logits + s * geom::kVocab, alone[s]->logits.data(), geom::kVocab), -1);
        const uint64_t rows = (prompts[s].size() + uint64_t(round) + 1) * geom::kKvDim;
        for (uint64_t l = 0; l < geom::kLayers; l++) {
          const uint64_t at = l * geom::kMaxPositions * geom::kKvDim;
          EXPECT_EQ(first_bit_difference(together[s]->keys.data() + at, alone[s]->keys.data() + at, rows), -1) << l;
          EXPECT_EQ(first_bit_difference(together[s]->values.data() + at, alone[s]->values.data() + at, rows), -1)
              << l;
        }
      }
    }
  }
}

}  // namespace
