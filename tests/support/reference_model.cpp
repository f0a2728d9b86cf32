#include "tests/support/reference_model.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <thread>

namespace {

constexpr uint64_t kLayers = 18, kDim = 2048, kHeads = 8, kHeadDim = 256, kFfn = 16384;
constexpr uint64_t kVocab = 256000, kPositions = 2048;
constexpr uint64_t kBlock = 0x0D204000;  // bytes of one layer's weights
constexpr uint64_t kFinalNorm = 0xEC448000, kEmbedding = 0xEC44A000;

// Offsets of one layer's tensors inside its block.
struct LayerWeights {
  const float* attn_norm;  // f32[2048]
  const float* ffn_norm;   // f32[2048]
  const uint16_t* wq;      // fp16 [2048][2048]
  const uint16_t* wk;      // fp16 [256][2048]
  const uint16_t* wv;      // fp16 [256][2048]
  const uint16_t* wo;      // fp16 [2048][2048]
  const uint16_t* w_gate;  // fp16 [16384][2048]
  const uint16_t* w_up;    // fp16 [16384][2048]
  const uint16_t* w_down;  // fp16 [2048][16384]
};

LayerWeights layer_weights(const uint8_t* base, uint64_t l) {
  const uint8_t* b = base + l * kBlock;
  return {reinterpret_cast<const float*>(b), reinterpret_cast<const float*>(b + 0x2000),
          reinterpret_cast<const uint16_t*>(b + 0x4000), reinterpret_cast<const uint16_t*>(b + 0x804000),
          reinterpret_cast<const uint16_t*>(b + 0x904000), reinterpret_cast<const uint16_t*>(b + 0xA04000),
          reinterpret_cast<const uint16_t*>(b + 0x1204000), reinterpret_cast<const uint16_t*>(b + 0x5204000),
          reinterpret_cast<const uint16_t*>(b + 0x9204000)};
}

const std::vector<double>& half_table() {
  static const std::vector<double> table = [] {
    std::vector<double> t(65536);
    for (uint32_t h = 0; h < 65536; h++) {
      const int exp = (h >> 10) & 31;
      const double mant = double(h & 1023);
      double v;
      if (exp == 0) v = std::ldexp(mant, -24);
      else if (exp == 31) v = mant != 0 ? NAN : INFINITY;
      else v = std::ldexp(mant + 1024.0, exp - 25);
      t[h] = (h & 0x8000) ? -v : v;
    }
    return t;
  }();
  return table;
}

// y[r] = sum_c W[r][c] x[c] for r in [0, rows); the rows are shared out over two threads.
void matvec(std::vector<double>& y, const uint16_t* w, const std::vector<double>& x, uint64_t rows) {
  const uint64_t cols = x.size();
  const double* table = half_table().data();
  y.assign(rows, 0.0);
  auto part = [&](uint64_t r0, uint64_t r1) {
    for (uint64_t r = r0; r < r1; r++) {
      const uint16_t* row = w + r * cols;
      double sum = 0.0;
      for (uint64_t c = 0; c < cols; c++) sum += table[row[c]] * x[c];
      y[r] = sum;
    }
  };
  std::thread helper(part, rows / 2, rows);
  part(0, rows / 2);
  helper.join();
}

// x / sqrt(mean(x^2) + 1e-5) * (1 + w)
std::vector<double> rms_norm(const std::vector<double>& x, const float* w) {
  double sum = 0.0;
  for (double v : x) sum += v * v;
  const double scale = 1.0 / std::sqrt(sum / double(x.size()) + 1e-5);
  std::vector<double> out(x.size());
  for (size_t i = 0; i < x.size(); i++) out[i] = x[i] * scale * (1.0 + double(w[i]));
  return out;
}

double gelu(double x) {
  const double k = std::sqrt(2.0 / M_PI);
  return 0.5 * x * (1.0 + std::tanh(k * (x + 0.044715 * x * x * x)));
}

// Rotates each 256-wide head of v: dimension i pairs with i + 128, angle position * theta_i.
void rotate(double* v, uint64_t heads, uint64_t position) {
  for (uint64_t i = 0; i < kHeadDim / 2; i++) {
    const double theta = std::pow(10000.0, -2.0 * double(i) / double(kHeadDim));
    const double c = std::cos(double(position) * theta), s = std::sin(double(position) * theta);
    for (uint64_t h = 0; h < heads; h++) {
      double* head = v + h * kHeadDim;
      const double a = head[i], b = head[i + kHeadDim / 2];
      head[i] = a * c - b * s;
      head[i + kHeadDim / 2] = b * c + a * s;
    }
  }
}

void layer(ReferenceModel* m, uint64_t l, uint64_t p, int knockout_head, const double* knockout_values,
           double* attention_out, std::vector<double>& hidden) {
  const LayerWeights w = layer_weights(m->weights, l);
  std::vector<double> x = rms_norm(hidden, w.attn_norm);
  std::vector<double> q, k, v;
  matvec(q, w.wq, x, kDim);
  matvec(k, w.wk, x, kHeadDim);
  matvec(v, w.wv, x, kHeadDim);
  rotate(q.data(), kHeads, p);
  rotate(k.data(), 1, p);

  double* keys = m->keys.data() + l * kPositions * kHeadDim;
  double* values = m->values.data() + l * kPositions * kHeadDim;
  std::memcpy(keys + p * kHeadDim, k.data(), kHeadDim * sizeof(double));
  std::memcpy(values + p * kHeadDim, v.data(), kHeadDim * sizeof(double));

  std::vector<double> attn(kDim, 0.0), weights(p + 1);
  for (uint64_t h = 0; h < kHeads; h++) {
    double top = -INFINITY;
    for (uint64_t t = 0; t <= p; t++) {
      double dot = 0.0;
      for (uint64_t d = 0; d < kHeadDim; d++) dot += q[h * kHeadDim + d] * keys[t * kHeadDim + d];
      weights[t] = dot / std::sqrt(double(kHeadDim));
      top = std::max(top, weights[t]);
    }
    double total = 0.0;
    for (uint64_t t = 0; t <= p; t++) total += (weights[t] = std::exp(weights[t] - top));
    for (uint64_t t = 0; t <= p; t++)
      for (uint64_t d = 0; d < kHeadDim; d++)
        attn[h * kHeadDim + d] += weights[t] / total * values[t * kHeadDim + d];
  }
  if (attention_out) std::copy(attn.begin(), attn.end(), attention_out);
  if (knockout_head >= 0 && knockout_head < int(kHeads)) {
    for (uint64_t d = 0; d < kHeadDim; d++) attn[knockout_head * kHeadDim + d] = knockout_values ? knockout_values[d] : 0.0;
  }

  std::vector<double> out;
  matvec(out, w.wo, attn, kDim);
  for (uint64_t i = 0; i < kDim; i++) hidden[i] += out[i];

  x = rms_norm(hidden, w.ffn_norm);
  std::vector<double> gate, up;
  matvec(gate, w.w_gate, x, kFfn);
  matvec(up, w.w_up, x, kFfn);
  for (uint64_t j = 0; j < kFfn; j++) gate[j] = gelu(gate[j]) * up[j];
  matvec(out, w.w_down, gate, kDim);
  for (uint64_t i = 0; i < kDim; i++) hidden[i] += out[i];
}

}  // namespace

double half_to_double(uint16_t h) { return half_table()[h]; }

void reference_init(ReferenceModel* m, const uint8_t* weights) {
  m->weights = weights;
  m->keys.assign(kLayers * kPositions * kHeadDim, 0.0);
  m->values.assign(kLayers * kPositions * kHeadDim, 0.0);
}

void reference_step(ReferenceModel* m, uint64_t token, uint64_t position, const ReferenceControls& c,
                    ReferenceStep* out) {
  const auto* embedding = reinterpret_cast<const uint16_t*>(m->weights + kEmbedding);
  std::vector<double> hidden(kDim);
  for (uint64_t i = 0; i < kDim; i++) hidden[i] = half_to_double(embedding[token * kDim + i]) * std::sqrt(double(kDim));

  for (uint64_t l = 0; l < c.layer_limit; l++) {
    const bool knocked = c.knockout_layer == int(l);
    layer(m, l, position, knocked ? c.knockout_head : -1, c.knockout_values, knocked ? c.attention_out : nullptr, hidden);
    if (c.splice_vector && c.splice_layer == int(l))
      for (uint64_t i = 0; i < kDim; i++) hidden[i] += double(c.splice_vector[i]);
  }

  out->hidden = rms_norm(hidden, reinterpret_cast<const float*>(m->weights + kFinalNorm));
  matvec(out->logits, embedding, out->hidden, kVocab);
  for (uint64_t k = 0; k < c.history_count; k++)
    if (c.history[k] < kVocab) out->logits[c.history[k]] -= 1.5;
  out->next_id = 0;
  for (uint64_t t = 1; t < kVocab; t++)
    if (out->logits[t] > out->logits[out->next_id]) out->next_id = t;
}
