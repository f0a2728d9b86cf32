// The batched layer entry against the single-step layer on the synthetic weights, bit for bit:
// blocks of 1, 2, 7, 8, 9 and 64 positions starting at 0 and above 0, the earlier positions
// run as blocks of their own; the knockout, the splice and the control rows; the embedding, the final
// normalisation and the classifier against token_step; the entry stub of the loaded image; and
// the wide (AVX-512) images against the AVX2 ones.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "engine/cpu_features.h"
#include "engine/kernel_images.h"
#include "engine/worker_pool.h"
#include "engine/rope_tables.h"
#include "model/weights_layout.h"
#include "kernels/kernels.h"
#include "tests/kernels/kernel_reference.h"
#include "tests/kernels/test_data.h"
#include "tests/support/engine_harness.h"

namespace {

using testdata::first_bit_difference;

// The record token_step hands to decoder_layer for layer l at position p.
LayerParams step_params(const InferenceContext& ctx, uint64_t l, uint64_t p, float* hidden) {
  const uint8_t* block = ctx.weights_base + l * layer_off::block_size;
  auto f32 = [&](uint64_t off) { return reinterpret_cast<const float*>(block + off); };
  auto f16 = [&](uint64_t off) { return reinterpret_cast<const uint16_t*>(block + off); };
  LayerParams lp;
  lp.hidden = hidden;
  lp.attn_norm = f32(layer_off::attn_norm);
  lp.wq = f16(layer_off::wq);
  lp.wk = f16(layer_off::wk);
  lp.wv = f16(layer_off::wv);
  lp.wo = f16(layer_off::wo);
  lp.ffn_norm = f32(layer_off::ffn_norm);
  lp.w_gate = f16(layer_off::w_gate);
  lp.w_up = f16(layer_off::w_up);
  lp.w_down = f16(layer_off::w_down);
  lp.layer_keys = ctx.key_cache + l * ctx.max_positions * geom::kKvDim;
  lp.layer_values = ctx.value_cache + l * ctx.max_positions * geom::kKvDim;
  lp.rope_cos = rope_cos_table[p];
  lp.rope_sin = rope_sin_table[p];
  lp.scratch = ctx.scratch;
  lp.position = p;
  lp.dim = geom::kDim;
  lp.ffn_dim = geom::kFfnDim;
  lp.heads = geom::kHeads;
  lp.head_dim = geom::kHeadDim;
  lp.job_slots = ctx.job_slots;
  const bool knock = ctx.knockout_enabled != 0 && ctx.knockout_layer == int32_t(l);
  lp.knockout_head = knock ? ctx.knockout_head : -1;
  lp.knockout_values = ctx.knockout_values;
  return lp;
}

// Residual streams of `count` positions with the spread of real ones (about unit RMS).
std::vector<float> residuals(uint64_t count, uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> n(0.0f, 1.0f);
  std::vector<float> v(count * geom::kDim);
  for (float& f : v) f = n(rng);
  return v;
}

using Fn = uint64_t(KV_ABI*)(const LayerBlock*);

// Runs `fn` over [first, first + count) of rows (all positions' streams) for layer l.
uint64_t run_block(Fn fn, InferenceContext* ctx, float* rows, float* work, uint64_t l, uint64_t first,
                   uint64_t count, uint64_t ops, const int32_t* ids = nullptr) {
  LayerBlock b{};
  b.ctx = ctx;
  b.rows = rows + first * geom::kDim;
  b.work = work;
  b.rope_cos = rope_cos_table[first];
  b.rope_sin = rope_sin_table[first];
  b.ids = ids ? ids + first : nullptr;
  b.first_position = first;
  b.count = count;
  b.layer = l;
  b.ops = ops;
  return fn(&b);
}

uint64_t library_entry(const LayerBlock* b) { return layer_block(b); }

class LayerBlockTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_EQ(synthetic_engine().status, WeightsStatus::ok); }
  std::vector<float> work = std::vector<float>(layer_block_work_floats(kMaxBlock));

  // Layer l over positions 0 .. first + count - 1: one position at a time through decoder_layer
  // (and the splice add, as token_step makes it), and as blocks through `fn`: the positions
  // before `first` in blocks of `lead`, then [first, first + count) as one block. Compares the
  // residual streams and the layer's cache rows.
  void expect_same(Fn fn, uint64_t l, uint64_t first, uint64_t count, uint64_t lead, int32_t knockout_head,
                   bool splice, bool control = false, bool replace = false) {
    const uint64_t total = first + count;
    const std::vector<float> input = residuals(total, uint32_t(1000 * l + 10 * first + count));
    std::vector<float> splice_vector(geom::kDim);
    for (uint64_t i = 0; i < geom::kDim; i++) splice_vector[i] = 0.25f * float(int(i % 7) - 3);
    // Control rows for every layer; only row l is enabled.
    const std::vector<float> control_table = residuals(geom::kLayers, 4242);
    const float* control_row = control_table.data() + l * geom::kDim;
    const std::vector<float> replacement = residuals(1, 77);  // the first 256 replace the head

    ModelBuffers single, batched;
    for (ModelBuffers* m : {&single, &batched}) {
      m->ctx.knockout_enabled = knockout_head >= 0;
      m->ctx.knockout_layer = int32_t(l);
      m->ctx.knockout_head = knockout_head;
      m->ctx.splice_enabled = splice;
      m->ctx.splice_layer = int32_t(l);
      m->ctx.splice_vector = splice_vector.data();
      m->ctx.control_table = control_table.data();
      m->ctx.control_mask = control ? uint64_t(1) << l : 0;
      m->ctx.knockout_values = replace ? replacement.data() : nullptr;
    }
    std::vector<float> want = input;
    for (uint64_t p = 0; p < total; p++) {
      float* h = want.data() + p * geom::kDim;
      const LayerParams lp = step_params(single.ctx, l, p, h);
      decoder_layer(&lp);
      if (control)
        for (uint64_t i = 0; i < geom::kDim; i++) h[i] = h[i] + control_row[i];
      if (splice)
        for (uint64_t i = 0; i < geom::kDim; i++) h[i] = h[i] + splice_vector[i];
    }
    std::vector<float> got = input;
    for (uint64_t p = 0; p < first; p += lead)
      run_block(fn, &batched.ctx, got.data(), work.data(), l, p, std::min(lead, first - p), kBlockLayer);
    run_block(fn, &batched.ctx, got.data(), work.data(), l, first, count, kBlockLayer);

    const int64_t bad = first_bit_difference(got.data(), want.data(), total * geom::kDim);
    EXPECT_EQ(bad, -1) << "layer " << l << ", block [" << first << ", " << total << "): stream of position "
                       << bad / int64_t(geom::kDim);
    const uint64_t cache_at = l * geom::kMaxPositions * geom::kKvDim, cache_n = total * geom::kKvDim;
    EXPECT_EQ(first_bit_difference(batched.keys.data() + cache_at, single.keys.data() + cache_at, cache_n), -1);
    EXPECT_EQ(first_bit_difference(batched.values.data() + cache_at, single.values.data() + cache_at, cache_n), -1);
  }
};

}  // namespace

TEST_F(LayerBlockTest, BlocksOfEverySizeMatchTheSingleStepLayer) {
  const struct {
    uint64_t first, count, lead;
  } cases[] = {{0, 1, 1}, {0, 2, 1}, {0, 7, 1}, {0, 9, 1}, {6, 1, 4}, {3, 2, 3}, {5, 7, 2}, {1, 8, 1}, {13, 8, 9},
               {11, 9, 7}, {3, 64, 1}};
  for (const auto& c : cases) expect_same(library_entry, 3, c.first, c.count, c.lead, -1, false);
}

TEST_F(LayerBlockTest, KnockoutAndSpliceAsTheStepMakesThem) {
  expect_same(library_entry, 14, 4, 9, 4, 3, true);
  expect_same(library_entry, 14, 2, 7, 2, 7, false);
  // A head outside 0 .. 7 changes nothing, as in the single step.
  expect_same(library_entry, 14, 0, 8, 1, 8, false);
  // The control row, alone and before the splice.
  expect_same(library_entry, 14, 3, 6, 3, -1, true, true);
  expect_same(library_entry, 0, 2, 5, 1, -1, false, true);
  // A replacement vector (mean ablation) instead of zeros.
  expect_same(library_entry, 14, 4, 9, 4, 5, false, false, true);
}

TEST_F(LayerBlockTest, ControlRowsAddAfterTheirLayersAsInTheTokenStep) {
  // The whole model over five positions, token_step at each against blocks of 3 and 2, for
  // masks naming the first, a middle, the splice's and the last layer, and every layer at once.
  const int32_t ids[5] = {2, 106, 1645, 107, 108};
  const std::vector<float> control_table = residuals(geom::kLayers, 77);
  std::vector<float> rows(5 * geom::kDim), plain_hidden;
  for (uint64_t mask : {uint64_t(0), uint64_t(1), uint64_t(1) << 9, uint64_t(1) << 14, uint64_t(1) << 17, uint64_t(0x3FFFF)}) {
    ModelBuffers single, batched;
    for (ModelBuffers* m : {&single, &batched}) {
      m->ctx.control_table = control_table.data();
      m->ctx.control_mask = mask;
      m->ctx.splice_enabled = mask == 0x3FFFF;  // with every row, the splice after layer 14 too
      m->ctx.splice_layer = 14;
      m->ctx.splice_vector = control_table.data() + 3 * geom::kDim;
    }
    uint64_t want = 0;
    for (uint64_t p = 0; p < 5; p++) want = single.step(uint64_t(ids[p]), p);
    uint64_t got = 0;
    for (uint64_t l = 0; l < geom::kLayers; l++) {
      const uint64_t embed = l == 0 ? kBlockEmbed : 0, last = l + 1 == geom::kLayers ? kBlockNormLast | kBlockClassify : 0;
      run_block(library_entry, &batched.ctx, rows.data(), work.data(), l, 0, 3, embed | kBlockLayer, ids);
      got = run_block(library_entry, &batched.ctx, rows.data(), work.data(), l, 3, 2, embed | kBlockLayer | last, ids);
    }
    EXPECT_EQ(got, want) << "mask " << mask;
    EXPECT_EQ(first_bit_difference(batched.hidden.data(), single.hidden.data(), geom::kDim), -1) << "mask " << mask;
    EXPECT_EQ(first_bit_difference(batched.logits.data(), single.logits.data(), geom::kVocab), -1) << "mask " << mask;
    // Every mask steers the model away from the plain run.
    if (mask == 0) plain_hidden = single.hidden;
    else EXPECT_NE(first_bit_difference(single.hidden.data(), plain_hidden.data(), geom::kDim), -1) << "mask " << mask;
  }
}

TEST_F(LayerBlockTest, TheLoadedImageEntryGivesTheSameBits) {
  LoadedImages images;
  ASSERT_TRUE(load_kernel_images(&images));
  expect_same(images.layer_block, 17, 5, 9, 5, -1, false);
}

TEST_F(LayerBlockTest, TheWideImagesGiveTheAvx2ImagesBits) {
  if (!wide_kernels_supported()) GTEST_SKIP() << "no AVX-512 on this processor";
  LoadedImages wide;
  ASSERT_TRUE(load_kernel_images(&wide, ImageChoice::wide));
  ASSERT_TRUE(wide.wide);
  // The wide image's entry with its own worker threads, against the single-step AVX2 layer.
  WorkerPool pool{};
  ASSERT_TRUE(start_worker_pool(wide.worker_start, 3, &pool));
  const struct {
    uint64_t l, first, count, lead;
  } cases[] = {{0, 0, 13, 1}, {9, 6, 11, 6}, {16, 2, 25, 1}};
  for (const auto& c : cases) {
    const uint64_t total = c.first + c.count;
    const std::vector<float> input = residuals(total, uint32_t(77 + c.l));
    ModelBuffers single, batched(pool.area);
    std::vector<float> want = input;
    for (uint64_t p = 0; p < total; p++) {
      const LayerParams lp = step_params(single.ctx, c.l, p, want.data() + p * geom::kDim);
      decoder_layer(&lp);
    }
    std::vector<float> got = input;
    for (uint64_t p = 0; p < c.first; p += c.lead)
      run_block(wide.layer_block, &batched.ctx, got.data(), work.data(), c.l, p, std::min(c.lead, c.first - p), kBlockLayer);
    run_block(wide.layer_block, &batched.ctx, got.data(), work.data(), c.l, c.first, c.count, kBlockLayer);
    EXPECT_EQ(first_bit_difference(got.data(), want.data(), total * geom::kDim), -1) << "layer " << c.l;
    const uint64_t at = c.l * geom::kMaxPositions * geom::kKvDim;
    EXPECT_EQ(first_bit_difference(batched.keys.data() + at, single.keys.data() + at, total * geom::kKvDim), -1);
  }
  // A full-depth token step of each image at the same position, from the same caches.
  LoadedImages narrow;
  ASSERT_TRUE(load_kernel_images(&narrow, ImageChoice::avx2));
  ModelBuffers a, b(pool.area);
  uint64_t ids[2];
  for (ModelBuffers* m : {&a, &b}) {
    const TokenStepFn step = m == &a ? narrow.token_step : wide.token_step;
    for (uint64_t p = 0; p < 2; p++) {
      m->ctx.token_id = p ? 1645 : 2;
      m->ctx.position = p;
      m->ctx.rope_cos = rope_cos_table[p];
      m->ctx.rope_sin = rope_sin_table[p];
      ids[m == &a ? 0 : 1] = step(&m->ctx);
    }
  }
  EXPECT_EQ(ids[0], ids[1]);
  EXPECT_EQ(first_bit_difference(a.logits.data(), b.logits.data(), geom::kVocab), -1);
  EXPECT_EQ(first_bit_difference(a.hidden.data(), b.hidden.data(), geom::kDim), -1);
}

TEST_F(LayerBlockTest, AMaskedOffLayerTouchesNothing) {
  ModelBuffers m;
  m.ctx.layer_mask = 0x3FFFF & ~(uint64_t(1) << 2);
  m.ctx.splice_enabled = 1;
  m.ctx.splice_layer = 2;
  const float one = 1.0f;
  std::vector<float> splice(geom::kDim, one);
  m.ctx.splice_vector = splice.data();
  std::vector<float> rows = residuals(4, 9), before = rows;
  const std::vector<float> keys_before = m.keys;
  run_block(library_entry, &m.ctx, rows.data(), work.data(), 2, 0, 4, kBlockLayer);
  EXPECT_EQ(first_bit_difference(rows.data(), before.data(), rows.size()), -1);
  EXPECT_EQ(first_bit_difference(m.keys.data(), keys_before.data(), m.keys.size()), -1);
}

TEST_F(LayerBlockTest, EmbeddingNormalisationAndClassifierMatchTokenStep) {
  // Two layers over six positions: token_step at every position (its last call's hidden,
  // logits and id) against blocks of 4 and 2 with the embedding, then the final norm and the
  // classifier of the last position.
  const int32_t ids[6] = {2, 3, 106, 1645, 107, 108};
  ModelBuffers single, batched;
  single.ctx.layer_limit = 2;
  uint64_t want = 0;
  for (uint64_t p = 0; p < 6; p++) want = single.step(uint64_t(ids[p]), p);

  std::vector<float> rows(6 * geom::kDim);
  for (uint64_t first : {0u, 4u}) {
    const uint64_t count = first == 0 ? 4 : 2;
    run_block(library_entry, &batched.ctx, rows.data(), work.data(), 0, first, count, kBlockEmbed | kBlockLayer, ids);
  }
  // The embedding alone: row t is the widened row times sqrt(2048).
  std::vector<float> emb(6 * geom::kDim);
  run_block(library_entry, &batched.ctx, emb.data(), work.data(), 0, 5, 1, kBlockEmbed, ids);
  const uint16_t* row = batched.ctx.embedding_table + 108 * geom::kDim;
  for (uint64_t i = 0; i < geom::kDim; i++)
    ASSERT_EQ(emb[5 * geom::kDim + i], ref::half_to_float(row[i]) * 0x1.6a09e6p+5f) << i;

  run_block(library_entry, &batched.ctx, rows.data(), work.data(), 1, 0, 4, kBlockLayer);
  const uint64_t got = run_block(library_entry, &batched.ctx, rows.data(), work.data(), 1, 4, 2,
                                 kBlockLayer | kBlockNormLast | kBlockClassify);
  EXPECT_EQ(got, want);
  EXPECT_EQ(first_bit_difference(batched.hidden.data(), single.hidden.data(), geom::kDim), -1);
  EXPECT_EQ(first_bit_difference(batched.logits.data(), single.logits.data(), geom::kVocab), -1);
  // Without the classifier nothing is returned and the logits stay as they were.
  std::fill(batched.logits.begin(), batched.logits.end(), 0.5f);
  EXPECT_EQ(run_block(library_entry, &batched.ctx, rows.data(), work.data(), 1, 5, 1, kBlockNormLast), 0u);
  EXPECT_EQ(batched.logits[0], 0.5f);
  EXPECT_EQ(first_bit_difference(batched.hidden.data(), single.hidden.data(), geom::kDim), -1);
}
