// Prompt passes packed into shared blocks against each pass alone, bit for bit: prompts of
// different lengths (one longer than a block, so blocks split it and mix it with the others)
// with their own knockout, bias, control rows and splice; rows, every cache row, logits and next ids.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "engine/prompt_pass.h"
#include "kernels/kernels.h"
#include "model/layer_block.h"
#include "tests/kernels/test_data.h"
#include "tests/support/engine_harness.h"

namespace {

using testdata::first_bit_difference;

uint64_t library_entry(const LayerBlock* b) { return layer_block(b); }

TEST(PackedPass, EveryPromptGetsWhatItsOwnPassGives) {
  ASSERT_EQ(synthetic_engine().status, WeightsStatus::ok);
  const TestControls controls;
  std::vector<std::vector<int32_t>> prompts = {{2, 106, 1645}, {2, 651, 9, 77, 3000}, {}};
  for (int32_t p = 0; p < 70; p++) prompts[2].push_back(p == 0 ? 2 : 100 + 37 * p);
  std::vector<float> work(layer_block_work_floats(kMaxBlock)), rows_together;
  uint64_t total = 0;
  for (const auto& p : prompts) total += p.size();
  rows_together.resize(total * geom::kDim);

  std::vector<std::unique_ptr<ModelBuffers>> alone, together;
  std::vector<std::vector<float>> rows_alone;
  std::vector<int32_t> want;  // each pass's next id alone
  std::vector<PromptPass> passes;
  uint64_t at = 0;
  for (uint64_t s = 0; s < prompts.size(); s++) {
    for (auto* set : {&alone, &together}) {
      set->push_back(std::make_unique<ModelBuffers>());
      InferenceContext& c = set->back()->ctx;
      controls.apply(&c, s);
    }
    const int32_t n = int32_t(prompts[s].size());
    rows_alone.emplace_back(uint64_t(n) * geom::kDim);
    const PromptPass one{&library_entry, &alone[s]->ctx, prompts[s].data(), n, rows_alone[s].data(), nullptr, work.data()};
    pass_embed(one);
    for (uint64_t l = 0; l < geom::kLayers; l++) pass_layer(one, l);
    want.push_back(pass_classify_last(one));
    passes.push_back({&library_entry, &together[s]->ctx, prompts[s].data(), n, rows_together.data() + at * geom::kDim,
                      nullptr, work.data()});
    at += uint64_t(n);
  }
  for (const PromptPass& p : passes) pass_embed(p);
  for (uint64_t l = 0; l < geom::kLayers; l++) packed_layer(passes.data(), passes.size(), l);
  std::vector<int32_t> next(passes.size());
  packed_classify_last(passes.data(), passes.size(), next.data());

  for (uint64_t s = 0; s < prompts.size(); s++) {
    SCOPED_TRACE("prompt " + std::to_string(s));
    const uint64_t n = prompts[s].size();
    EXPECT_EQ(next[s], want[s]);
    EXPECT_EQ(first_bit_difference(passes[s].rows, rows_alone[s].data(), n * geom::kDim), -1);
    EXPECT_EQ(first_bit_difference(together[s]->logits.data(), alone[s]->logits.data(), geom::kVocab), -1);
    for (uint64_t l = 0; l < geom::kLayers; l++) {
      const uint64_t from = l * geom::kMaxPositions * geom::kKvDim;
      EXPECT_EQ(first_bit_difference(together[s]->keys.data() + from, alone[s]->keys.data() + from, n * geom::kKvDim), -1) << l;
      EXPECT_EQ(first_bit_difference(together[s]->values.data() + from, alone[s]->values.data() + from, n * geom::kKvDim), -1)
          << l;
    }
  }
}

}  // namespace
