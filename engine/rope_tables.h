// Rotary position tables: row p holds cos and sin of p * 10000^(-2i/256), i = 0 .. 127.
#pragma once

#include "model/weights_layout.h"

extern float rope_cos_table[geom::kMaxPositions][geom::kRotaryPairs];
extern float rope_sin_table[geom::kMaxPositions][geom::kRotaryPairs];

// Needs: nothing. Fills both tables.
void build_rope_tables();
