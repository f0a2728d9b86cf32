// The console report of the sweep over every head of every layer.
#pragma once

#include "reports/records.h"

inline constexpr int kAuditAllTop = 10;

// The ten cells (layer * 8 + head) that move the last depth's reading (by_logit false) or the
// baseline's next token's logit (true) most: largest magnitude first, ties to the lower cell,
// NaN last.
void top_audit_cells(const AuditAll& a, bool by_logit, int cells[kAuditAllTop]);

// Needs: a built index. Prints the title, the table of ΔT at the next depth, the table of the
// last depth's change, and the two top-ten lists.
void print_audit_all_report(const AuditAll& a);
