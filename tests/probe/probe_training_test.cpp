#include "probe/probe_training.h"

#include <gtest/gtest.h>

#include <cstring>

#include "probe/probe.h"

namespace {
constexpr int64_t kDim = geom::kDim;

// n states of pseudo-random values in [-1, 1); from depth `signal_from` on, the states of
// index % 3 == 0 (axis 0's positives) carry +1.5 on the first 256 elements.
std::vector<float> planted_states(int64_t n, int signal_from) {
  std::vector<float> s(static_cast<size_t>(n * kTrainingDepths * kDim));
  uint64_t x = 0x2545F4914F6CDD1Dull;
  for (size_t i = 0; i < s.size(); i++) {
    x ^= x << 13, x ^= x >> 7, x ^= x << 17;
    s[i] = float(int64_t(x >> 40) - (1 << 23)) / float(1 << 23);
  }
  for (int64_t i = 0; i < n; i += 3) {
    for (int h = signal_from; h < kTrainingDepths; h++) {
      // Through a row pointer: clang 14 spent four minutes compiling the indexed form.
      float* row = s.data() + (i * kTrainingDepths + h) * kDim;
      for (int j = 0; j < 256; j++) row[j] += 1.5f;
    }
  }
  return s;
}
}  // namespace

TEST(ProbeTraining, PlantedConceptIsFoundFromItsDepthOnAndReversedLabelsFlipTheProbe) {
  const int64_t n = 30;
  const std::vector<float> states = planted_states(n, 6);
  std::vector<int8_t> labels(size_t(n) * 2), flipped(size_t(n) * 2);
  for (int64_t i = 0; i < n; i++) {
    labels[size_t(i) * 2] = i % 3 == 0;
    labels[size_t(i) * 2 + 1] = i % 4 == 0 ? kNoLabel : int8_t(i % 2);  // noise, some unlabelled
    flipped[size_t(i) * 2] = labels[size_t(i) * 2] ^ 1;
    flipped[size_t(i) * 2 + 1] = labels[size_t(i) * 2 + 1];
  }
  const TrainingSet set{states.data(), labels.data(), n, 2};
  ASSERT_EQ(training_refusal(set, {"word", "noise"}), "");
  const std::vector<AxisAccuracy> acc = probe_accuracy(set);
  ASSERT_EQ(acc.size(), 2u);
  for (int h = 6; h < kTrainingDepths; h++) {
    EXPECT_EQ(acc[0].cross_validated[h], 1.0) << h;
    EXPECT_EQ(acc[0].train[h], 1.0) << h;
  }
  EXPECT_GE(acc[0].best_depth, 6);
  EXPECT_LT(acc[0].cross_validated[0], 1.0);  // no signal before depth 6
  EXPECT_LT(acc[1].cross_validated[acc[1].best_depth], 1.0);

  const TrainedProbe p = train_probe(set), q = train_probe({states.data(), flipped.data(), n, 2});
  for (int h = 0; h < kTrainingDepths; h++) {
    const float* w = p.weight.data() + (h * 2) * kDim;
    const float* v = q.weight.data() + (h * 2) * kDim;
    for (int64_t j = 0; j < kDim; j++) ASSERT_EQ(v[j], -w[j]) << h << " " << j;
    EXPECT_EQ(q.bias[size_t(h) * 2], -p.bias[size_t(h) * 2]);
    double length = 0;
    for (int64_t j = 0; j < kDim; j++) length += double(w[j]) * w[j];
    EXPECT_NEAR(length, 1.0, 1e-5);
  }
  for (int64_t i = 0; i < n; i++) {
    const float r = trained_reading(p, 10, 0, states.data() + (i * kTrainingDepths + 10) * kDim);
    EXPECT_EQ(r > 0.0f, i % 3 == 0) << i;
  }
}

TEST(ProbeTraining, TooFewLabelsOfAClassAreRefusedByAxisName) {
  const std::vector<float> states = planted_states(5, 0);
  const std::vector<int8_t> labels = {1, 0, 1, 0, 0, 1, kNoLabel, 0, 0, 0};  // axis 0: two of each; axis 1: one 1
  const std::string why = training_refusal({states.data(), labels.data(), 5, 2}, {"topic", "refusal"});
  EXPECT_EQ(why, "the axis \"refusal\" needs at least 2 prompts labelled 0 and 2 labelled 1; it has 4 and 1");
}

TEST(ProbeTraining, ReadingIsTheProbesOwnArithmetic) {
  load_probe_tables();
  TrainedProbe p;
  p.axes = 4;
  p.weight.assign(size_t(kTrainingDepths) * 4 * kDim, 0.0f);
  p.bias.assign(size_t(kTrainingDepths) * 4, 0.0f);
  p.baseline.assign(size_t(kTrainingDepths) * kDim, 0.0f);
  const ProbeTable& t = probe_table(0);
  for (int a = 0; a < 4; a++) memcpy(p.weight.data() + a * kDim, t.weights[a], kDim * 4);
  memcpy(p.bias.data(), t.bias, 16);
  memcpy(p.baseline.data(), t.baseline, kDim * 4);
  const std::vector<float> states = planted_states(4, 0);
  for (int64_t i = 0; i < 4; i++) {
    const float* x = states.data() + i * kTrainingDepths * kDim;
    const ProbeReading r = read_probe(x, 0);
    for (int a = 0; a < 4; a++) EXPECT_EQ(trained_reading(p, 0, a, x), r.value[a]) << i << " " << a;
  }
}
