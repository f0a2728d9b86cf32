// The console report of the telemetry and generation run: the 18-row table (Phase 1), then
// the generated answer (Phase 2).
#pragma once

#include "reports/records.h"

// The table's rule, title and column header; one row; the closing rule and blank line.
void print_telemetry_header();
void print_telemetry_row(int depth, const DepthReading& row, bool splice_armed);
void print_telemetry_footer();
// Header, every row of t, footer.
void print_telemetry_table(const Telemetry& t);

// Phase 2's rule and title; the line before the first token; token u (1-based) of the answer
// with its text; the closing lines after the last token.
void print_generation_header();
void print_answer_intro();
void print_answer_token(int u, const AnswerToken& token);
void print_answer_footer();
