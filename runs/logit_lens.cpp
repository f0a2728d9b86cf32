#include "runs/logit_lens.h"

#include <cmath>

#include "model/weights_layout.h"

namespace {
// True when logit a ranks above b (NaN below everything, ties not above).
bool ranks_above(float a, float b) {
  if (std::isnan(a)) return false;
  return std::isnan(b) || a > b;
}
}  // namespace

void top_logits(const float* logits, int k, LensRow* row) {
  int filled = 0;
  for (uint64_t id = 0; id < geom::kVocab; id++) {
    const float v = logits[id];
    if (filled == k && !ranks_above(v, row->logits[k - 1])) continue;
    // Insertion from the bottom: a later id never passes an equal earlier one.
    int at = filled < k ? filled++ : k - 1;
    while (at > 0 && ranks_above(v, row->logits[at - 1])) {
      row->logits[at] = row->logits[at - 1];
      row->ids[at] = row->ids[at - 1];
      at--;
    }
    row->logits[at] = v;
    row->ids[at] = static_cast<int32_t>(id);
  }
}
