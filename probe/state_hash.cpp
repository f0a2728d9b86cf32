#include "probe/probe.h"
#include "vocab/fnv1a.h"

uint32_t state_hash(const float* hidden) {
  // The floats' own bytes, element 0 first; the machine is little-endian, as the hash wants.
  return fnv1a32(hidden, sizeof(float) * kProbeDim);
}
