// The console table of the logit lens, printed after the telemetry table.
#pragma once

#include <cstdint>
#include <string>

#include "reports/records.h"

// Needs: a built index. The token's label text with every control byte as a visible escape
// (\n, \r, \t, else \xNN), so that it never breaks a table line.
std::string visible_token_text(int32_t id);

// The rule, title and column header, one row per depth with its K tokens, the closing rule and
// blank line.
void print_lens_table(const Lens& lens);
