// Choosing the probe at start-up: the embedded one or a probe file, and the axes each mode reads.
#pragma once

#include "driver/run_options.h"

// Needs: the options read. Makes the embedded probe or --probe's file the probe in use and sets
// the roles from --gate, --truth-axis and --audit-axis (defaults domain, truth, truth). A file
// that cannot be used, or a missing axis the run needs (truth always: the splice vector is
// built in every mode; the gate in the splice mode; the audit axis in the audit), is fatal.
void set_up_probe(const RunOptions& opts);
