// Training a probe from labelled states: for every depth, a mass-mean direction per axis (the
// unit difference of the two classes' mean centred-and-unit-scaled states), a bias that puts
// the threshold midway between the classes' mean scores, and the baseline all states are
// centred on; with its accuracy on the training states and under 5-fold cross-validation.
// Every sum runs in double over the states in index order, and every reading used to score a
// state is the program's own (f32, the probe's operation order), so results are reproducible.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "model/weights_layout.h"

inline constexpr int kTrainingDepths = int(geom::kLayers);
inline constexpr int kCrossValidationFolds = 5;

// Labels of one state on every axis: 0, 1, or kNoLabel where the data gives none.
inline constexpr int8_t kNoLabel = -1;

// The labelled data: n states, each f32 [18][2048] (the final-normalised state after each
// depth), with labels int8 [n][axes]. Both are the caller's.
struct TrainingSet {
  const float* states;   // f32 [n][18][2048]
  const int8_t* labels;  // int8 [n][axes]
  int64_t n;
  int axes;
};

// A per-depth probe: what a probe file's per-depth form holds.
struct TrainedProbe {
  int axes = 0;
  std::vector<float> weight;    // f32 [18][axes][2048]: unit directions (zero when the classes' means agree)
  std::vector<float> bias;      // f32 [18][axes]
  std::vector<float> baseline;  // f32 [18][2048]
};

// One axis's accuracy at every depth, as fractions of its labelled states.
struct AxisAccuracy {
  double train[kTrainingDepths];
  double cross_validated[kTrainingDepths];  // folds by state index modulo 5
  int best_depth;                           // 0-based: highest cross-validated, then training, then lowest
};

// Needs: a set whose every axis has at least 2 states of each label (see training_refusal).
// Fits the probe on the states whose index modulo `folds` is not `held_out` (-1: on all).
TrainedProbe train_probe(const TrainingSet& set, int held_out = -1, int folds = kCrossValidationFolds);

// "" when every axis has at least 2 states labelled 0 and 2 labelled 1, else a one-line reason
// naming the first axis that has not (by its name in `names`).
std::string training_refusal(const TrainingSet& set, const std::vector<std::string>& names);

// The program's reading of axis `axis` of depth `depth` of the probe on one state (2048 f32):
// centred on the baseline, scaled to unit length above 1e-8, bias plus the rounded products in
// ascending order.
float trained_reading(const TrainedProbe& p, int depth, int axis, const float* state);

// Needs: as train_probe. Training and 5-fold cross-validated accuracy of every axis.
std::vector<AxisAccuracy> probe_accuracy(const TrainingSet& set);
