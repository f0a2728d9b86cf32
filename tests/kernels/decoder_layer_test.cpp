// decoder_layer against a plain scalar model of the same layer that follows the kernel's
// order of operations and roundings step by step, compared bit for bit: the work area, the
// residual stream and the cache rows. Weights are small random tensors in memory.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "engine/rope_tables.h"
#include "engine/worker_pool.h"
#include "kernels/kernels.h"
#include "tests/kernels/kernel_reference.h"
#include "tools/synthetic_weights/synthetic_weights_gen.h"

namespace {

constexpr uint64_t kDim = 2048, kFfn = 16384, kHeadDim = 256, kHeads = 8;
constexpr uint64_t kRows = 2048;         // cache rows in the test
constexpr uint64_t kScratchFloats = 1u << 18;  // the 1 MiB work area
constexpr uint64_t kUsedFloats = 42496;  // what the layer may touch
constexpr float kEps = 0x1.4f8b58p-17f;

// ---- the scalar model -----------------------------------------------------------------
// The primitives and the product are the scalar references of tests/kernels/kernel_reference;
// the attention pieces, which have no kernel of their own, are written out here.

// Pairs (i, i + 128) of one 256-wide head; the first product rounded, the second fused.
void rotate_model(float* v, const float* cos, const float* sin) {
  for (uint64_t i = 0; i < 128; i++) {
    const float a = v[i], b = v[i + 128];
    v[i] = std::fma(-b, sin[i], a * cos[i]);
    v[i + 128] = std::fma(a, sin[i], b * cos[i]);
  }
}

float score_model(const float* q, const float* key) {
  float a0[8] = {}, a1[8] = {};
  for (uint64_t d = 0; d < kHeadDim; d += 16)
    for (int l = 0; l < 8; l++) {
      a0[l] = std::fma(q[d + l], key[d + l], a0[l]);
      a1[l] = std::fma(q[d + 8 + l], key[d + 8 + l], a1[l]);
    }
  float s[8];
  for (int l = 0; l < 8; l++) s[l] = a0[l] + a1[l];
  return ref::fold(s) * 0.0625f;
}

// The whole layer, writing the same places of the work area as the kernel.
void layer_model(const LayerParams& lp) {
  float* s = lp.scratch;
  float *x = s, *proj = s + 2048, *q = s + 4096, *k = s + 6144, *v = s + 6400, *attn = s + 6656;
  float *scores = s + 8704, *gate = s + 9728, *up = s + 26112;
  const uint64_t p = lp.position;
  ref::rms_norm(x, lp.attn_norm, lp.hidden, kDim, kEps);
  ref::gemv(q, lp.wq, x, kDim, kDim);
  ref::gemv(k, lp.wk, x, kDim, kHeadDim);
  ref::gemv(v, lp.wv, x, kDim, kHeadDim);
  for (uint64_t h = 0; h < kHeads; h++) rotate_model(q + h * kHeadDim, lp.rope_cos, lp.rope_sin);
  rotate_model(k, lp.rope_cos, lp.rope_sin);
  for (uint64_t d = 0; d < kHeadDim; d++) {
    lp.layer_keys[p * kHeadDim + d] = k[d];
    lp.layer_values[p * kHeadDim + d] = v[d];
  }
  for (uint64_t h = 0; h < kHeads; h++) {
    for (uint64_t t = 0; t <= p; t++) scores[t] = score_model(q + h * kHeadDim, lp.layer_keys + t * kHeadDim);
    if (p == 0) {
      scores[0] = 1.0f;
    } else {
      const uint64_t m = (p + 1 + 7) / 8 * 8;
      for (uint64_t t = p + 1; t < m; t++) scores[t] = -10000.0f;
      ref::softmax(scores, scores, m);
    }
    for (uint64_t d = 0; d < kHeadDim; d++) {
      float acc = 0.0f;
      for (uint64_t t = 0; t <= p; t++) acc = std::fma(scores[t], lp.layer_values[t * kHeadDim + d], acc);
      attn[h * kHeadDim + d] = acc;
    }
  }
  if (lp.knockout_head >= 0 && lp.knockout_head < 8)
    for (uint64_t d = 0; d < kHeadDim; d++) attn[lp.knockout_head * kHeadDim + d] = 0.0f;
  ref::gemv(proj, lp.wo, attn, kDim, kDim);
  for (uint64_t i = 0; i < kDim; i++) lp.hidden[i] += proj[i];
  ref::rms_norm(x, lp.ffn_norm, lp.hidden, kDim, kEps);
  ref::gemv(gate, lp.w_gate, x, kDim, kFfn);
  ref::gemv(up, lp.w_up, x, kDim, kFfn);
  ref::geglu(gate, gate, up, kFfn);
  ref::gemv(proj, lp.w_down, gate, kFfn, kDim);
  for (uint64_t i = 0; i < kDim; i++) lp.hidden[i] += proj[i];
}

// ---- fixture ---------------------------------------------------------------------------

// One layer's tensors, drawn like layer 0 of the synthetic weights file (seed 77).
struct Weights {
  std::vector<float> attn_norm, ffn_norm;
  std::vector<uint16_t> wq, wk, wv, wo, w_gate, w_up, w_down;
};

const Weights& weights() {
  static const Weights w = [] {
    Weights w;
    auto f32 = [](std::vector<float>& v, uint32_t i) {
      v.resize(synthetic_tensor(i).count);
      synthetic_values(77, i, 0, v.size(), v.data());
    };
    auto f16 = [](std::vector<uint16_t>& v, uint32_t i) {
      v.resize(synthetic_tensor(i).count);
      synthetic_values(77, i, 0, v.size(), v.data());
    };
    f32(w.attn_norm, 0), f32(w.ffn_norm, 1);
    f16(w.wq, 2), f16(w.wk, 3), f16(w.wv, 4), f16(w.wo, 5);
    f16(w.w_gate, 6), f16(w.w_up, 7), f16(w.w_down, 8);
    return w;
  }();
  return w;
}

const float kSentinel = std::bit_cast<float>(0x7FC0DEADu);  // a NaN nobody computes

// Everything one layer call reads and writes, with earlier cache rows already filled.
struct LayerRun {
  std::vector<float> hidden, keys, values, scratch;
  std::vector<float> cos, sin;

  LayerRun(uint64_t position, uint32_t seed) : hidden(kDim), keys(kRows * kHeadDim, kSentinel),
      values(kRows * kHeadDim, kSentinel), scratch(kScratchFloats, kSentinel), cos(128), sin(128) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    for (float& h : hidden) h = 1.5f * u(rng);
    for (uint64_t i = 0; i < position * kHeadDim; i++) {
      keys[i] = 2.0f * u(rng);
      values[i] = u(rng);
    }
    for (int i = 0; i < 128; i++) {
      cos[i] = rope_cos_table[position][i];
      sin[i] = rope_sin_table[position][i];
    }
  }

  LayerParams params(uint64_t position, int64_t knockout, void* area = nullptr) {
    const Weights& w = weights();
    LayerParams lp;
    lp.hidden = hidden.data();
    lp.attn_norm = w.attn_norm.data();
    lp.wq = w.wq.data();
    lp.wk = w.wk.data();
    lp.wv = w.wv.data();
    lp.wo = w.wo.data();
    lp.ffn_norm = w.ffn_norm.data();
    lp.w_gate = w.w_gate.data();
    lp.w_up = w.w_up.data();
    lp.w_down = w.w_down.data();
    lp.layer_keys = keys.data();
    lp.layer_values = values.data();
    lp.rope_cos = cos.data();
    lp.rope_sin = sin.data();
    lp.scratch = scratch.data();
    lp.position = position;
    lp.dim = kDim;
    lp.ffn_dim = kFfn;
    lp.heads = kHeads;
    lp.head_dim = kHeadDim;
    lp.job_slots = area;
    lp.knockout_head = knockout;
    lp.knockout_values = nullptr;
    return lp;
  }
};

class DecoderLayer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    static bool built = false;
    if (!built) build_rope_tables();
    built = true;
    weights();
  }
};

// Index of the first element where two float arrays differ in their bits, or -1.
int64_t first_difference(const float* a, const float* b, uint64_t n) {
  for (uint64_t i = 0; i < n; i++)
    if (std::bit_cast<uint32_t>(a[i]) != std::bit_cast<uint32_t>(b[i])) return int64_t(i);
  return -1;
}

// Runs the kernel and the scalar model on identical inputs and compares everything.
void expect_layer_matches(uint64_t position, int64_t knockout) {
  SCOPED_TRACE("position " + std::to_string(position) + ", knockout " + std::to_string(knockout));
  LayerRun kernel(position, uint32_t(position) + 11), model(position, uint32_t(position) + 11);
  const LayerParams kp = kernel.params(position, knockout);
  decoder_layer(&kp);
  layer_model(model.params(position, knockout));

  EXPECT_EQ(first_difference(kernel.hidden.data(), model.hidden.data(), kDim), -1) << "hidden";
  EXPECT_EQ(first_difference(kernel.keys.data(), model.keys.data(), kRows * kHeadDim), -1) << "key cache";
  EXPECT_EQ(first_difference(kernel.values.data(), model.values.data(), kRows * kHeadDim), -1) << "value cache";
  EXPECT_EQ(first_difference(kernel.scratch.data(), model.scratch.data(), kScratchFloats), -1) << "work area";
  // Nothing beyond the stated part of the work area is touched.
  for (uint64_t i = kUsedFloats; i < kScratchFloats; i++)
    ASSERT_EQ(std::bit_cast<uint32_t>(kernel.scratch[i]), 0x7FC0DEADu) << "work area element " << i;
  // Rows above the position are neither read nor written.
  for (uint64_t i = (position + 1) * kHeadDim; i < kRows * kHeadDim; i++)
    ASSERT_EQ(std::bit_cast<uint32_t>(kernel.keys[i]), 0x7FC0DEADu) << "key cache element " << i;
  for (float h : kernel.hidden) ASSERT_TRUE(std::isfinite(h));
}

TEST_F(DecoderLayer, MatchesScalarModelAtFirstPosition) { expect_layer_matches(0, -1); }
TEST_F(DecoderLayer, MatchesScalarModelWithoutPadding) { expect_layer_matches(7, -1); }
TEST_F(DecoderLayer, MatchesScalarModelWithPaddedScores) { expect_layer_matches(8, -1); }
TEST_F(DecoderLayer, MatchesScalarModelWithScoresFillingTheirRegion) { expect_layer_matches(1023, -1); }
TEST_F(DecoderLayer, MatchesScalarModelWithScoresReachingIntoGate) { expect_layer_matches(1024, -1); }
TEST_F(DecoderLayer, MatchesScalarModelAtOtherPositions) {
  for (uint64_t p : {1u, 2u, 15u, 16u, 17u, 100u, 2047u}) expect_layer_matches(p, -1);
}
TEST_F(DecoderLayer, MatchesScalarModelWithKnockout) {
  for (int64_t head : {0, 3, 7}) expect_layer_matches(9, head);
}

// At position 0 the rotation is the identity and the single weight is 1.0, so every head's
// attention output is the value row itself.
TEST_F(DecoderLayer, FirstPositionAttendsOnlyToItsOwnValue) {
  LayerRun run(0, 5);
  const LayerParams lp = run.params(0, -1);
  decoder_layer(&lp);
  const float* v = run.scratch.data() + 6400;
  for (uint64_t h = 0; h < kHeads; h++)
    EXPECT_EQ(first_difference(run.scratch.data() + 6656 + h * kHeadDim, v, kHeadDim), -1) << "head " << h;
  EXPECT_EQ(first_difference(run.keys.data(), run.scratch.data() + 6144, kHeadDim), -1);
  EXPECT_EQ(first_difference(run.values.data(), v, kHeadDim), -1);
  EXPECT_EQ(run.scratch[8704], 1.0f);
}

// The key written at position p is the key of an identity rotation turned pair by pair,
// dimension i with i + 128, by the angle p * 10000^(-i/128).
TEST_F(DecoderLayer, KeyRotationPairsHalvesOfTheHead) {
  const uint64_t p = 37;
  LayerRun turned(p, 8), plain(p, 8);
  for (int i = 0; i < 128; i++) plain.cos[i] = 1.0f, plain.sin[i] = 0.0f;
  const LayerParams a = turned.params(p, -1), b = plain.params(p, -1);
  decoder_layer(&a);
  decoder_layer(&b);
  const float* k = turned.keys.data() + p * kHeadDim;
  const float* k0 = plain.keys.data() + p * kHeadDim;
  double worst = 0.0, size = 0.0;
  for (int i = 0; i < 128; i++) {
    const double angle = double(p) * std::pow(10000.0, -double(i) / 128.0);
    const double c = std::cos(angle), s = std::sin(angle);
    worst = std::max(worst, std::fabs(k[i] - (k0[i] * c - k0[i + 128] * s)));
    worst = std::max(worst, std::fabs(k[i + 128] - (k0[i + 128] * c + k0[i] * s)));
    size = std::max(size, std::fabs(double(k0[i])));
  }
  EXPECT_LT(worst, 1e-5 * size);
  // The value is not rotated.
  EXPECT_EQ(first_difference(turned.values.data() + p * kHeadDim, plain.values.data() + p * kHeadDim, kHeadDim), -1);
}

// After a step at p = 8 the last head's weights stand in the score region: nine real
// weights summing to one, then seven pads of exactly zero.
TEST_F(DecoderLayer, PaddedScoresGetZeroWeight) {
  LayerRun run(8, 3);
  const LayerParams lp = run.params(8, -1);
  decoder_layer(&lp);
  const float* w = run.scratch.data() + 8704;
  double total = 0.0;
  for (int t = 0; t < 9; t++) {
    EXPECT_GT(w[t], 0.0f);
    total += w[t];
  }
  EXPECT_NEAR(total, 1.0, 1e-5);
  for (int t = 9; t < 16; t++) EXPECT_EQ(std::bit_cast<uint32_t>(w[t]), 0u) << t;
}

// A silenced head: its output is zero before wo; the cache rows are those of a run without
// knockout; heads 8 and -1 change nothing.
TEST_F(DecoderLayer, KnockoutSilencesOneHeadOnly) {
  const uint64_t p = 12;
  LayerRun none(p, 4), three(p, 4), eight(p, 4), minus(p, 4);
  const LayerParams a = none.params(p, -1), b = three.params(p, 3), c = eight.params(p, 8), d = minus.params(p, -1);
  decoder_layer(&a);
  decoder_layer(&b);
  decoder_layer(&c);
  decoder_layer(&d);
  for (uint64_t i = 0; i < kHeadDim; i++) ASSERT_EQ(three.scratch[6656 + 3 * kHeadDim + i], 0.0f);
  for (uint64_t h = 0; h < kHeads; h++) {
    if (h == 3) continue;
    EXPECT_EQ(first_difference(three.scratch.data() + 6656 + h * kHeadDim, none.scratch.data() + 6656 + h * kHeadDim,
                               kHeadDim), -1) << "head " << h;
  }
  EXPECT_EQ(first_difference(three.keys.data(), none.keys.data(), kRows * kHeadDim), -1);
  EXPECT_EQ(first_difference(three.values.data(), none.values.data(), kRows * kHeadDim), -1);
  EXPECT_NE(first_difference(three.hidden.data(), none.hidden.data(), kDim), -1);
  EXPECT_EQ(first_difference(eight.hidden.data(), none.hidden.data(), kDim), -1);
  EXPECT_EQ(first_difference(eight.scratch.data(), none.scratch.data(), kScratchFloats), -1);
  EXPECT_EQ(first_difference(minus.hidden.data(), none.hidden.data(), kDim), -1);
}

// The products may be spread over worker threads without changing a bit.
TEST_F(DecoderLayer, WorkerPoolGivesTheSameBits) {
  WorkerPool pool;
  ASSERT_TRUE(start_worker_pool(reinterpret_cast<ThreadRoutine>(&worker_entry), 3, &pool));
  const uint64_t p = 20;
  LayerRun alone(p, 6), pooled(p, 6);
  const LayerParams a = alone.params(p, 5), b = pooled.params(p, 5, pool.area);
  decoder_layer(&a);
  decoder_layer(&b);
  EXPECT_EQ(first_difference(alone.hidden.data(), pooled.hidden.data(), kDim), -1);
  EXPECT_EQ(first_difference(alone.keys.data(), pooled.keys.data(), kRows * kHeadDim), -1);
  EXPECT_EQ(first_difference(alone.scratch.data(), pooled.scratch.data(), kScratchFloats), -1);
}

}  // namespace
