// The lens's ranking against a plain sort: highest first, ties to the lower id, NaN last.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>
#include <vector>

#include "model/weights_layout.h"
#include "runs/logit_lens.h"

TEST(LogitLens, TopLogitsMatchAStableSortForEveryK) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> coarse(-40, 40);  // few distinct values: many ties
  std::vector<float> logits(geom::kVocab);
  for (float& v : logits) v = 0.25f * float(coarse(rng));
  for (uint64_t id : {5u, 1000u, 255999u}) logits[id] = std::nanf("");
  logits[200000] = 11.0f;  // one clear winner late in the vocabulary, one tie for second
  logits[3] = logits[150000] = 10.5f;
  std::vector<int32_t> order(geom::kVocab);
  std::iota(order.begin(), order.end(), 0);
  auto key = [&](int32_t id) { return std::isnan(logits[id]) ? -INFINITY : logits[id]; };
  std::stable_sort(order.begin(), order.end(), [&](int32_t a, int32_t b) { return key(a) > key(b); });
  for (int k : {1, 3, 20}) {
    LensRow row{};
    top_logits(logits.data(), k, &row);
    for (int j = 0; j < k; j++) {
      EXPECT_EQ(row.ids[j], order[j]) << "k " << k << " rank " << j;
      EXPECT_EQ(row.logits[j], logits[order[j]]);
    }
  }
}
