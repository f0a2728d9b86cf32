// The console report of the head knockout audit.
#pragma once

#include "reports/records.h"

// The verdict text for a rebound dT of the next layer's Truth reading (single-precision
// comparisons; NaN takes the last).
const char* audit_verdict(float delta);

// For an audit of `layer` (0 .. 17): the rule, title and column header; the baseline row; head
// h's row (its rebound against the baseline's next-layer reading); the summary naming the best
// head. The layer numbers are the audited layer and audit_next_layer of it.
void print_audit_header(int layer);
void print_audit_baseline_row(const AuditRow& row);
void print_audit_head_row(int h, const AuditRow& row, float baseline_truth_next);
void print_audit_summary(int layer, int best_head, float best_delta);
