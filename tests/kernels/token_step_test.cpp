// token_step on the synthetic weights file: the controls of the context one by one, the
// composition of embedding, layers, normalisation and classifier, a few full steps against
// the float64 reference model, and the loaded image copy against the library code.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <vector>

#include "model/inference_context.h"
#include "engine/kernel_images.h"
#include "engine/rope_tables.h"
#include "engine/weights_file.h"
#include "model/weights_layout.h"
#include "engine/worker_pool.h"
#include "kernels/kernels.h"
#include "tests/support/engine_harness.h"
#include "tests/support/reference_model.h"
#include "tests/support/synthetic_weights.h"
#include "tools/synthetic_weights/synthetic_weights_gen.h"

namespace {

using namespace geom;


const SyntheticEngine& engine() { return synthetic_engine(); }
using Model = ModelBuffers;

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

float widen(uint16_t h) { return float(half_to_double(h)); }

class TokenStep : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(engine().status, WeightsStatus::ok) << synthetic_weights_path(); }
};

// ---- the synthetic file itself ---------------------------------------------------------

// Every tensor begins at its offset with the generator's values (norm vectors whole, the
// first and last 4096 values of each matrix), and the values stay in their ranges.
TEST_F(TokenStep, SyntheticFileHasTheModelLayout) {
  EXPECT_EQ(engine().view.size, file_off::end);
  const uint8_t* base = engine().view.base;
  for (uint32_t i = 0; i < kSyntheticTensorCount; i++) {
    const SyntheticTensor t = synthetic_tensor(i);
    const uint64_t elem = t.is_f16 ? 2 : 4;
    const uint64_t n = std::min<uint64_t>(t.count, 4096);
    std::vector<uint8_t> expect(n * elem);
    for (uint64_t first : {uint64_t(0), t.count - n}) {
      synthetic_values(kSyntheticWeightsSeed, i, first, n, expect.data());
      ASSERT_EQ(std::memcmp(base + t.offset + first * elem, expect.data(), n * elem), 0)
          << "tensor " << i << " at value " << first;
    }
    double largest = 0.0;
    for (uint64_t k = 0; k < n; k++) {
      double v;
      if (t.is_f16) {
        uint16_t h;
        std::memcpy(&h, base + t.offset + k * 2, 2);
        v = half_to_double(h);
      } else {
        float f;
        std::memcpy(&f, base + t.offset + k * 4, 4);
        v = f;
      }
      largest = std::max(largest, std::fabs(v));
    }
    EXPECT_LE(largest, t.bound * 1.001) << "tensor " << i;
    EXPECT_GE(largest, t.bound * 0.9) << "tensor " << i;
  }
  // The tensors cover the file without gaps, up to the last embedding row.
  const SyntheticTensor last = synthetic_tensor(kSyntheticTensorCount - 1);
  EXPECT_EQ(last.offset + last.count * 2, file_off::end);
}

// ---- the controls ----------------------------------------------------------------------

TEST_F(TokenStep, ForcedTokenReturnsAtOnceAndTouchesNothing) {
  Model m;
  m.ctx.layer_limit = 1;
  m.step(9, 0);
  const std::vector<float> hidden = m.hidden, logits = m.logits, keys = m.keys, values = m.values;
  m.ctx.forced_token = 7;
  EXPECT_EQ(m.step(11, 1), 7u);
  EXPECT_TRUE(same_bits(m.hidden, hidden));
  EXPECT_TRUE(same_bits(m.logits, logits));
  EXPECT_TRUE(same_bits(m.keys, keys));
  EXPECT_TRUE(same_bits(m.values, values));
}

TEST_F(TokenStep, ForcedTokenOutOfRangeIsIgnored) {
  Model plain, forced;
  plain.ctx.layer_limit = forced.ctx.layer_limit = 1;
  forced.ctx.forced_token = kVocab;
  const uint64_t id = plain.step(9, 0);
  EXPECT_EQ(forced.step(9, 0), id);
  EXPECT_NE(id, kVocab);
  EXPECT_TRUE(same_bits(forced.hidden, plain.hidden));
  EXPECT_TRUE(same_bits(forced.logits, plain.logits));
}

// Parameters of layer l, filled here independently of the token step.
LayerParams layer_params(Model& m, uint64_t l, uint64_t position, int64_t knockout) {
  const uint8_t* b = engine().view.base + l * layer_off::block_size;
  LayerParams lp;
  lp.hidden = m.hidden.data();
  lp.attn_norm = reinterpret_cast<const float*>(b + layer_off::attn_norm);
  lp.wq = reinterpret_cast<const uint16_t*>(b + layer_off::wq);
  lp.wk = reinterpret_cast<const uint16_t*>(b + layer_off::wk);
  lp.wv = reinterpret_cast<const uint16_t*>(b + layer_off::wv);
  lp.wo = reinterpret_cast<const uint16_t*>(b + layer_off::wo);
  lp.ffn_norm = reinterpret_cast<const float*>(b + layer_off::ffn_norm);
  lp.w_gate = reinterpret_cast<const uint16_t*>(b + layer_off::w_gate);
  lp.w_up = reinterpret_cast<const uint16_t*>(b + layer_off::w_up);
  lp.w_down = reinterpret_cast<const uint16_t*>(b + layer_off::w_down);
  lp.layer_keys = m.keys.data() + l * kMaxPositions * kKvDim;
  lp.layer_values = m.values.data() + l * kMaxPositions * kKvDim;
  lp.rope_cos = rope_cos_table[position];
  lp.rope_sin = rope_sin_table[position];
  lp.scratch = m.scratch.data();
  lp.position = position;
  lp.dim = kDim;
  lp.ffn_dim = kFfnDim;
  lp.heads = kHeads;
  lp.head_dim = kHeadDim;
  lp.job_slots = nullptr;
  lp.knockout_head = knockout;
  lp.knockout_values = nullptr;
  return lp;
}

// What one step should leave in `hidden`, built from the parts: the scaled embedding, the
// listed layers (with an optional vector added after one of them), the final norm.
struct Layer {
  uint64_t index;
  int64_t knockout = -1;
  const float* splice = nullptr;
};
std::vector<float> composed_hidden(uint64_t token, uint64_t position, const std::vector<Layer>& layers) {
  Model m(nullptr);
  const auto* row = m.ctx.embedding_table + token * kDim;
  for (uint64_t i = 0; i < kDim; i++) m.hidden[i] = widen(row[i]) * 45.254833f;
  for (const Layer& l : layers) {
    const LayerParams lp = layer_params(m, l.index, position, l.knockout);
    decoder_layer(&lp);
    if (l.splice)
      for (uint64_t i = 0; i < kDim; i++) m.hidden[i] += l.splice[i];
  }
  rms_norm(m.hidden.data(), m.ctx.final_norm, m.hidden.data(), kDim, 0.00001f);
  return m.hidden;
}

// layer_limit 1: the final-normalised output of layer 0, the logits of the tied embedding
// matrix, and the caches of the other layers left alone.
TEST_F(TokenStep, OneLayerThenNormThenClassifier) {
  Model m;
  m.ctx.layer_limit = 1;
  std::fill(m.keys.begin(), m.keys.end(), -3.0f);
  const uint64_t id = m.step(1234, 0);
  EXPECT_TRUE(same_bits(m.hidden, composed_hidden(1234, 0, {{0}})));
  // Row 0 of layer 0 is written; layer 1 and everything else keep their contents.
  EXPECT_NE(m.keys[0], -3.0f);
  EXPECT_TRUE(std::all_of(m.keys.begin() + kKvDim, m.keys.end(), [](float k) { return k == -3.0f; }));
  // Logits: rows of the embedding matrix times the state, in the row kernel's order.
  for (uint64_t t = 0; t < kVocab; t += 4999) {
    float expect;
    dot_rows_f16(&expect, m.ctx.embedding_table + t * kDim, m.hidden.data(), kDim, 1);
    ASSERT_EQ(std::bit_cast<uint32_t>(m.logits[t]), std::bit_cast<uint32_t>(expect)) << "logit " << t;
    double dot = 0.0;
    for (uint64_t i = 0; i < kDim; i++) dot += half_to_double(m.ctx.embedding_table[t * kDim + i]) * m.hidden[i];
    ASSERT_NEAR(m.logits[t], dot, 1e-4) << "logit " << t;
  }
  EXPECT_EQ(id, uint64_t(std::max_element(m.logits.begin(), m.logits.end()) - m.logits.begin()));
}

// A masked layer does not run and leaves its cache row alone; a zero mask runs every layer.
TEST_F(TokenStep, LayerMaskSkipsLayers) {
  Model m;
  m.ctx.layer_limit = 2;
  m.ctx.layer_mask = 0x3FFFE;
  std::fill(m.keys.begin(), m.keys.end(), -3.0f);
  m.step(77, 0);
  EXPECT_TRUE(same_bits(m.hidden, composed_hidden(77, 0, {{1}})));
  EXPECT_EQ(m.keys[0], -3.0f);
  EXPECT_NE(m.keys[kMaxPositions * kKvDim], -3.0f);

  Model all, zero;
  all.ctx.layer_limit = zero.ctx.layer_limit = 2;
  zero.ctx.layer_mask = 0;
  EXPECT_EQ(all.step(77, 0), zero.step(77, 0));
  EXPECT_TRUE(same_bits(all.hidden, zero.hidden));
  EXPECT_TRUE(same_bits(all.hidden, composed_hidden(77, 0, {{0}, {1}})));
}

// The splice vector is added after its layer, so the next layer sees it; on a masked
// layer, at or beyond layer_limit, switched off or with a null vector it changes nothing.
TEST_F(TokenStep, SpliceAddsAfterItsLayerOnly) {
  std::vector<float> vec(kDim);
  for (uint64_t i = 0; i < kDim; i++) vec[i] = 0.5f * std::sin(float(i));
  Model plain;
  plain.ctx.layer_limit = 2;
  plain.step(500, 0);

  Model on;
  on.ctx.layer_limit = 2;
  on.ctx.splice_enabled = 1;
  on.ctx.splice_layer = 0;
  on.ctx.splice_vector = vec.data();
  on.step(500, 0);
  EXPECT_FALSE(same_bits(on.hidden, plain.hidden));
  EXPECT_TRUE(same_bits(on.hidden, composed_hidden(500, 0, {{0, -1, vec.data()}, {1}})));

  auto unchanged = [&](auto setup, const char* what) {
    Model m;
    m.ctx.layer_limit = 2;
    m.ctx.splice_enabled = 1;
    m.ctx.splice_layer = 0;
    m.ctx.splice_vector = vec.data();
    setup(m);
    m.step(500, 0);
    if (m.ctx.layer_mask == 0x3FFFD) {
      EXPECT_TRUE(same_bits(m.hidden, composed_hidden(500, 0, {{0}}))) << what;
    } else {
      EXPECT_TRUE(same_bits(m.hidden, plain.hidden)) << what;
      EXPECT_TRUE(same_bits(m.logits, plain.logits)) << what;
    }
  };
  unchanged([](Model& m) { m.ctx.splice_layer = 2; }, "at layer_limit");
  unchanged([](Model& m) { m.ctx.splice_layer = 17; }, "beyond layer_limit");
  unchanged([](Model& m) { m.ctx.splice_enabled = 0; }, "switched off");
  unchanged([](Model& m) { m.ctx.splice_vector = nullptr; }, "null vector");
  unchanged([](Model& m) { m.ctx.splice_layer = 1, m.ctx.layer_mask = 0x3FFFD; }, "masked layer");
}

// The knockout reaches the decoder layer only when switched on and on its own layer.
TEST_F(TokenStep, KnockoutReachesOnlyItsLayer) {
  Model plain;
  plain.ctx.layer_limit = 2;
  plain.step(42, 0);

  Model on;
  on.ctx.layer_limit = 2;
  on.ctx.knockout_enabled = 1;
  on.ctx.knockout_layer = 1;
  on.ctx.knockout_head = 3;
  on.step(42, 0);
  EXPECT_FALSE(same_bits(on.hidden, plain.hidden));
  EXPECT_TRUE(same_bits(on.hidden, composed_hidden(42, 0, {{0}, {1, 3}})));
  // The key and value rows are those of the run without knockout.
  EXPECT_TRUE(same_bits(on.keys, plain.keys));
  EXPECT_TRUE(same_bits(on.values, plain.values));

  for (auto [enabled, layer, head] : {std::tuple{0u, 1, 3}, {1u, 1, -1}, {1u, 1, 8}, {1u, 5, 3}, {1u, -1, 3}}) {
    Model m;
    m.ctx.layer_limit = 2;
    m.ctx.knockout_enabled = enabled;
    m.ctx.knockout_layer = layer;
    m.ctx.knockout_head = head;
    m.step(42, 0);
    EXPECT_TRUE(same_bits(m.hidden, plain.hidden)) << enabled << " " << layer << " " << head;
  }
}

// Penalty of 1.5 per occurrence of an id in the history, ids of 256000 and more skipped.
TEST_F(TokenStep, HistoryPenalty) {
  Model plain, pen;
  plain.ctx.layer_limit = pen.ctx.layer_limit = 1;
  plain.step(3, 0);
  const uint64_t history[] = {5, 300000, 5};
  pen.ctx.history = history;
  pen.ctx.history_count = 3;
  pen.step(3, 0);
  const float before = plain.logits[5], after = pen.logits[5];
  EXPECT_EQ(after, (before - 1.5f) - 1.5f);
  EXPECT_NEAR(double(before) - double(after), 3.0, 1e-6);
  pen.logits[5] = before;
  EXPECT_TRUE(same_bits(pen.logits, plain.logits));  // nothing else moved
  EXPECT_TRUE(same_bits(pen.hidden, plain.hidden));

  // A count without a list, or a list with a zero count, changes nothing.
  Model none;
  none.ctx.layer_limit = 1;
  none.ctx.history_count = 2;
  none.step(3, 0);
  EXPECT_TRUE(same_bits(none.logits, plain.logits));
  none.ctx.history = history;
  none.ctx.history_count = 0;
  none.step(3, 0);
  EXPECT_TRUE(same_bits(none.logits, plain.logits));
}

// The bias moves one logit; token 0 and ids of 256000 or more are ignored.
TEST_F(TokenStep, LogitBias) {
  Model plain, m;
  plain.ctx.layer_limit = m.ctx.layer_limit = 1;
  const uint64_t best = plain.step(3, 0);
  ASSERT_NE(best, 5u);
  m.ctx.bias_value = 100.0f;
  for (uint64_t ignored : {uint64_t(0), kVocab, uint64_t(1) << 40}) {
    m.ctx.bias_token = ignored;
    EXPECT_EQ(m.step(3, 0), best);
    EXPECT_TRUE(same_bits(m.logits, plain.logits)) << ignored;
  }
  m.ctx.bias_token = 5;
  EXPECT_EQ(m.step(3, 0), 5u);
  EXPECT_EQ(m.logits[5], plain.logits[5] + 100.0f);
}

// A bias that makes another id's logit exactly equal to the maximum: the lower id wins.
TEST_F(TokenStep, EqualMaximaChooseTheLowerId) {
  Model plain;
  plain.ctx.layer_limit = 1;
  const uint64_t best = plain.step(3, 0);
  ASSERT_GE(best, 2u);  // so that a lower id other than the unused 0 exists
  const float top = plain.logits[best];
  for (uint64_t other : {best / 2, best + (kVocab - best) / 2}) {
    ASSERT_NE(other, best);
    float bias = top - plain.logits[other];
    while (plain.logits[other] + bias < top) bias = std::nextafter(bias, INFINITY);
    while (plain.logits[other] + bias > top) bias = std::nextafter(bias, -INFINITY);
    ASSERT_EQ(plain.logits[other] + bias, top);
    Model m;
    m.ctx.layer_limit = 1;
    m.ctx.bias_token = other;
    m.ctx.bias_value = bias;
    EXPECT_EQ(m.step(3, 0), std::min(best, other)) << "tie between " << best << " and " << other;
  }
}

// ---- whole steps -----------------------------------------------------------------------

// Tolerances of the f32 engine against the float64 model after all 18 layers.
//
// The weights are fp16 in both, so only arithmetic differs. f32 rounding in the dot
// products (2048 and 16384 terms, 32 lane accumulators) gives relative errors of a few
// 1e-7, and the rsqrt estimate after its Newton step about 2e-7. The dominant term is
// exp_approx, within 6e-5 relative: every softmax weight and every GELU output of each
// layer carries up to that error, varying from element to element. Summed through w_down
// and wo with random signs this adds about 6e-5/sqrt(3) (the rms of the error) times the
// layer's output, some 1e-4 absolute per layer on a residual that grows to rms ~15; 18
// such independent contributions give ~5e-4, i.e. ~3.5e-5 relative, which the final norm
// turns into ~3.5e-5 absolute on `hidden` (rms 1). A logit is an embedding row (L2 norm
// ~1.3) times `hidden`, so its error is ~1.3 * 3.5e-5 typically and at most
// 1.3 * |error of hidden|_2 ~ 1.3 * 45 * 3.5e-5 ~ 2e-3 when every element erred the same
// way. The bounds below sit several times above the typical figures (measured: hidden
// within 2.3e-5, logits within 3e-5) and far below what any real fault produces (a wrong
// rotation, scale, cache row or order of steps moves logits by 0.1 and more).
constexpr double kHiddenTolerance = 2e-4;
constexpr double kLogitTolerance = 1e-3;

// Positions 0 .. 3 through all 18 layers: three prompt tokens, then the greedy choice of
// the third fed back. At each step the engine's id must be the reference's; only if the
// reference's two best logits were closer than twice the logit tolerance could a
// different id be right, and then it must be one of those near the top.
TEST_F(TokenStep, FullStepsAgreeWithFloat64Reference) {
  Model m;
  ReferenceModel ref;
  reference_init(&ref, engine().view.base);
  ReferenceStep out;
  uint64_t tokens[4] = {2, 3, 106, 0};
  for (uint64_t pos = 0; pos < 4; pos++) {
    SCOPED_TRACE("position " + std::to_string(pos) + ", token " + std::to_string(tokens[pos]));
    const uint64_t id = m.step(tokens[pos], pos);
    reference_step(&ref, tokens[pos], pos, ReferenceControls{}, &out);
    double logit_err = 0.0, hidden_err = 0.0;
    for (uint64_t t = 0; t < kVocab; t++) logit_err = std::max(logit_err, std::fabs(m.logits[t] - out.logits[t]));
    for (uint64_t i = 0; i < kDim; i++) hidden_err = std::max(hidden_err, std::fabs(m.hidden[i] - out.hidden[i]));
    EXPECT_LE(hidden_err, kHiddenTolerance);
    EXPECT_LE(logit_err, kLogitTolerance);
    std::vector<double> top = out.logits;
    std::nth_element(top.begin(), top.begin() + 1, top.end(), std::greater<double>());
    const double margin = top[0] - top[1];
    if (margin > 2 * kLogitTolerance) {
      EXPECT_EQ(id, out.next_id);
    } else {
      EXPECT_GE(out.logits[id], top[0] - 2 * kLogitTolerance);
    }
    std::printf("position %lu: id %lu (reference %lu, margin %.4f), max error hidden %.2e logits %.2e\n",
                (unsigned long)pos, (unsigned long)id, (unsigned long)out.next_id, margin, hidden_err, logit_err);
    if (pos == 2) tokens[3] = id;
  }
}

// The kernel image copied into executable memory, with its own worker threads, computes
// exactly what the library code computes on the calling thread alone.
TEST_F(TokenStep, LoadedImageMatchesLibraryBitForBit) {
  LoadedImages images;
  ASSERT_TRUE(load_kernel_images(&images));
  WorkerPool pool;
  ASSERT_TRUE(start_worker_pool(images.worker_start, default_worker_count(), &pool));
  Model lib(nullptr), img(pool.area);
  lib.ctx.history = img.ctx.history = nullptr;
  const uint64_t history[] = {17, 17, 4000};
  for (uint64_t pos = 0; pos < 3; pos++) {
    const uint64_t token = pos == 0 ? 2 : 1000 + pos;
    if (pos == 2) {
      lib.ctx.history = img.ctx.history = history;
      lib.ctx.history_count = img.ctx.history_count = 3;
      lib.ctx.knockout_enabled = img.ctx.knockout_enabled = 1;
      lib.ctx.knockout_layer = img.ctx.knockout_layer = 9;
      lib.ctx.knockout_head = img.ctx.knockout_head = 6;
    }
    const uint64_t a = lib.step(token, pos);
    img.ctx.token_id = token;
    img.ctx.position = pos;
    img.ctx.rope_cos = rope_cos_table[pos];
    img.ctx.rope_sin = rope_sin_table[pos];
    const uint64_t b = images.token_step(&img.ctx);
    EXPECT_EQ(a, b) << "position " << pos;
    EXPECT_TRUE(same_bits(lib.hidden, img.hidden)) << "position " << pos;
    EXPECT_TRUE(same_bits(lib.logits, img.logits)) << "position " << pos;
  }
  EXPECT_TRUE(same_bits(lib.keys, img.keys));
  EXPECT_TRUE(same_bits(lib.values, img.values));
  // The image honours the forced token as the library does.
  img.ctx.forced_token = 7;
  EXPECT_EQ(images.token_step(&img.ctx), 7u);
}

}  // namespace
