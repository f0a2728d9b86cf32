#include "probe/probe_training.h"

#include <cmath>

#include "probe/probe.h"
#include "probe/probe_tables.h"

namespace {
constexpr int64_t kDim = geom::kDim;

const float* state_at(const TrainingSet& s, int64_t i, int depth) {
  return s.states + (i * kTrainingDepths + depth) * kDim;
}

bool in_training(int64_t i, int held_out, int folds) { return held_out < 0 || i % folds != held_out; }

// Fits depth `depth` of p (its baseline row already set) on the training states.
void fit_depth(const TrainingSet& set, int held_out, int folds, int depth, TrainedProbe* p) {
  const float* baseline = p->baseline.data() + depth * kDim;
  std::vector<float> unit(static_cast<size_t>(set.n * kDim));  // f32 [n][2048]: centred, unit-scaled states
  for (int64_t i = 0; i < set.n; i++) {
    if (in_training(i, held_out, folds)) probe_centre_unit(state_at(set, i, depth), baseline, unit.data() + i * kDim);
  }
  for (int a = 0; a < set.axes; a++) {
    // The two classes' mean states; a class with no training state has the zero mean.
    std::vector<double> sum[2] = {std::vector<double>(kDim, 0.0), std::vector<double>(kDim, 0.0)};
    int64_t count[2] = {0, 0};
    for (int64_t i = 0; i < set.n; i++) {
      const int8_t label = set.labels[i * set.axes + a];
      if (label == kNoLabel || !in_training(i, held_out, folds)) continue;
      count[label]++;
      for (int64_t j = 0; j < kDim; j++) sum[label][j] += unit[i * kDim + j];
    }
    std::vector<double> diff(kDim);
    double length = 0.0;
    for (int64_t j = 0; j < kDim; j++) {
      const double m1 = count[1] ? sum[1][j] / double(count[1]) : 0.0, m0 = count[0] ? sum[0][j] / double(count[0]) : 0.0;
      diff[j] = m1 - m0;
      length += diff[j] * diff[j];
    }
    length = std::sqrt(length);
    float* w = p->weight.data() + (depth * set.axes + a) * kDim;
    for (int64_t j = 0; j < kDim; j++) w[j] = static_cast<float>(length > 1e-8 ? diff[j] / length : diff[j]);
    // The threshold midway between the classes' mean scores (the reading with bias 0).
    double score[2] = {0.0, 0.0};
    for (int64_t i = 0; i < set.n; i++) {
      const int8_t label = set.labels[i * set.axes + a];
      if (label == kNoLabel || !in_training(i, held_out, folds)) continue;
      score[label] += probe_axis_value(unit.data() + i * kDim, w, 0.0f);
    }
    const double m1 = count[1] ? score[1] / double(count[1]) : 0.0, m0 = count[0] ? score[0] / double(count[0]) : 0.0;
    p->bias[depth * set.axes + a] = static_cast<float>(-(m1 + m0) / 2.0);
  }
}
}  // namespace

TrainedProbe train_probe(const TrainingSet& set, int held_out, int folds) {
  TrainedProbe p;
  p.axes = set.axes;
  p.weight.assign(static_cast<size_t>(kTrainingDepths * set.axes * kDim), 0.0f);
  p.bias.assign(static_cast<size_t>(kTrainingDepths * set.axes), 0.0f);
  p.baseline.assign(static_cast<size_t>(kTrainingDepths * kDim), 0.0f);
  for (int h = 0; h < kTrainingDepths; h++) {
    std::vector<double> sum(kDim, 0.0);
    int64_t count = 0;
    for (int64_t i = 0; i < set.n; i++) {
      if (!in_training(i, held_out, folds)) continue;
      count++;
      const float* x = state_at(set, i, h);
      for (int64_t j = 0; j < kDim; j++) sum[j] += x[j];
    }
    for (int64_t j = 0; j < kDim; j++) p.baseline[h * kDim + j] = static_cast<float>(count ? sum[j] / double(count) : 0.0);
    fit_depth(set, held_out, folds, h, &p);
  }
  return p;
}

std::string training_refusal(const TrainingSet& set, const std::vector<std::string>& names) {
  for (int a = 0; a < set.axes; a++) {
    int64_t count[2] = {0, 0};
    for (int64_t i = 0; i < set.n; i++) {
      const int8_t label = set.labels[i * set.axes + a];
      if (label != kNoLabel) count[label]++;
    }
    if (count[0] < 2 || count[1] < 2) {
      return "the axis \"" + names[size_t(a)] + "\" needs at least 2 prompts labelled 0 and 2 labelled 1; it has " +
             std::to_string(count[0]) + " and " + std::to_string(count[1]);
    }
  }
  return "";
}

float trained_reading(const TrainedProbe& p, int depth, int axis, const float* state) {
  std::vector<float> d(kDim);  // f32 [2048]: the centred, unit-scaled state
  probe_centre_unit(state, p.baseline.data() + depth * kDim, d.data());
  return probe_axis_value(d.data(), p.weight.data() + (depth * p.axes + axis) * kDim, p.bias[depth * p.axes + axis]);
}

std::vector<AxisAccuracy> probe_accuracy(const TrainingSet& set) {
  std::vector<AxisAccuracy> acc(static_cast<size_t>(set.axes));
  // right[0] counts the training fit's correct labels, right[1] the held-out folds'.
  std::vector<int64_t> right[2] = {std::vector<int64_t>(size_t(set.axes) * kTrainingDepths, 0),
                                   std::vector<int64_t>(size_t(set.axes) * kTrainingDepths, 0)};
  std::vector<int64_t> labelled(size_t(set.axes), 0);
  auto score = [&](const TrainedProbe& p, int held_out, std::vector<int64_t>& into) {
    for (int64_t i = 0; i < set.n; i++) {
      if (held_out >= 0 && i % kCrossValidationFolds != held_out) continue;
      for (int a = 0; a < set.axes; a++) {
        const int8_t label = set.labels[i * set.axes + a];
        if (label == kNoLabel) continue;
        for (int h = 0; h < kTrainingDepths; h++) {
          const bool positive = trained_reading(p, h, a, state_at(set, i, h)) > 0.0f;
          if (positive == (label == 1)) into[size_t(a) * kTrainingDepths + h]++;
        }
      }
    }
  };
  score(train_probe(set), -1, right[0]);
  for (int f = 0; f < kCrossValidationFolds; f++) score(train_probe(set, f), f, right[1]);
  for (int64_t i = 0; i < set.n; i++) {
    for (int a = 0; a < set.axes; a++) labelled[size_t(a)] += set.labels[i * set.axes + a] != kNoLabel;
  }
  for (int a = 0; a < set.axes; a++) {
    AxisAccuracy& r = acc[size_t(a)];
    r.best_depth = 0;
    for (int h = 0; h < kTrainingDepths; h++) {
      const double total = labelled[size_t(a)] ? double(labelled[size_t(a)]) : 1.0;
      r.train[h] = double(right[0][size_t(a) * kTrainingDepths + h]) / total;
      r.cross_validated[h] = double(right[1][size_t(a) * kTrainingDepths + h]) / total;
      const int b = r.best_depth;
      if (r.cross_validated[h] > r.cross_validated[b] ||
          (r.cross_validated[h] == r.cross_validated[b] && r.train[h] > r.train[b])) {
        r.best_depth = h;
      }
    }
  }
  return acc;
}
