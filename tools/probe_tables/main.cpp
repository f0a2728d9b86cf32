// Writes the probe tables blob that the program embeds (data/probe_tables.bin). The output is
// a pure function of the fixed seeds below: running it again gives the identical file.
#include <bit>
#include <cstdio>

#include "tools/probe_tables/baseline.h"
#include "tools/probe_tables/table_checks.h"
#include "tools/probe_tables/table_file.h"
#include "tools/probe_tables/weight_rows.h"

namespace {
constexpr uint64_t kWeightSeed = 0x70726F6265577473ull;
constexpr uint64_t kBaselineSeed = 0x62617365C0FFEE01ull;
}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s OUTPUT.bin\n", argv[0]);
    return 2;
  }
  static ProbeTableSet tables;
  static bool free_mask[kDim];

  WeightRowStats stats;
  if (!build_weight_rows(kWeightSeed, tables.weights, free_mask, &stats)) {
    fprintf(stderr, "probe_tables: no draw brought the f32 rows within bounds\n");
    return 1;
  }
  printf("draws per row: %d %d %d %d\n", stats.draws[0], stats.draws[1], stats.draws[2], stats.draws[3]);

  for (int k = 0; k < kAxes; k++) tables.bias[k] = std::bit_cast<float>(kBiasBits[k]);
  build_baseline(kBaselineSeed, tables.baseline);

  if (!check_probe_tables(tables, free_mask, stdout)) {
    fprintf(stderr, "probe_tables: the tables do not meet their stated facts\n");
    return 1;
  }
  static uint8_t bytes[kTableBytes];
  encode_probe_tables(tables, bytes);
  if (!write_bytes(argv[1], bytes, kTableBytes)) {
    fprintf(stderr, "probe_tables: cannot write %s\n", argv[1]);
    return 1;
  }
  printf("wrote %s (%d bytes)\n", argv[1], kTableBytes);
  return 0;
}
