// The splice mode's two decision lines.
#pragma once

#include "reports/records.h"

// Lines A and B (armed) or C and D (closed), each pair followed by a blank line.
void print_splice_decision(const SpliceDecision& d);

// Gated steering's two lines (the gate axis by its name, its reading, open or closed), then a
// blank line.
void print_steering_gate(const SteeringGate& g);
