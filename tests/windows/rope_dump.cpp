// Writes the rotary tables, cosine then sine, as raw f32 to the named file. Built for Linux by
// the Windows build so that its test can compare the two builds' tables bit for bit.
#include <cstdio>

#include "engine/rope_tables.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: rope_dump OUT.bin\n");
    return 2;
  }
  build_rope_tables();
  FILE* out = fopen(argv[1], "wb");
  if (!out) return 1;
  bool ok = fwrite(rope_cos_table, sizeof rope_cos_table, 1, out) == 1 &&
            fwrite(rope_sin_table, sizeof rope_sin_table, 1, out) == 1;
  return fclose(out) == 0 && ok ? 0 : 1;
}
