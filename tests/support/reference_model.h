// A plain double-precision forward pass of the model over a mapped weights file, written
// from the model's description and not from the engine: double everywhere, the exact tanh
// form of GELU, a true square root, a textbook softmax, rotary angles computed directly.
// Tests compare the engine's f32 numbers against it within a tolerance.
#pragma once

#include <cstdint>
#include <vector>

// Exact value of an IEEE binary16 number.
double half_to_double(uint16_t h);

struct ReferenceModel {
  const uint8_t* weights = nullptr;  // first byte of the mapped weights file (not owned)
  std::vector<double> keys;          // [18][2048][256] rotated keys of earlier steps
  std::vector<double> values;        // [18][2048][256] values of earlier steps
};

// Controls of one step, named after the engine's context fields; the defaults run the
// whole model with nothing switched on.
struct ReferenceControls {
  uint64_t layer_limit = 18;
  int knockout_layer = -1;               // layer whose head `knockout_head` is silenced
  int knockout_head = -1;
  const double* knockout_values = nullptr;  // [256]: what replaces that head's output, else zeros
  double* attention_out = nullptr;          // [2048]: written with knockout_layer's attention output
                                            // before the knockout
  int splice_layer = -1;                 // layer after which splice_vector is added
  const float* splice_vector = nullptr;  // f32[2048]
  const uint64_t* history = nullptr;     // ids penalised by 1.5 per occurrence
  uint64_t history_count = 0;
};

struct ReferenceStep {
  std::vector<double> hidden;  // [2048] final-normalised state
  std::vector<double> logits;  // [256000] after the history penalty
  uint64_t next_id = 0;        // lowest index of the largest logit
};

// Needs: weights of the full layout (5,012,496,384 bytes). Sets up an empty cache.
void reference_init(ReferenceModel* m, const uint8_t* weights);

// Needs: token < 256000, position < 2048, rows 0 .. position-1 of the cache written by
// earlier steps of the same sequence. Writes cache row `position` of the layers run and out.
void reference_step(ReferenceModel* m, uint64_t token, uint64_t position, const ReferenceControls& c,
                    ReferenceStep* out);
