// Every published fact about the probe tables, checked on the final f32 values.
#pragma once

#include <cstdio>

#include "tools/probe_tables/table_file.h"

// Needs: the finished tables and the free mask of the weight rows. Prints each measured
// figure to report and returns true when every fact holds.
bool check_probe_tables(const ProbeTableSet& tables, const bool free_mask[kDim], FILE* report);
