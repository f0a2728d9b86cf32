// Rule lines that frame the reports: one hundred "=" or "-" and a newline.
#pragma once

#define KV_RULE_EQ "===================================================================================================="
#define KV_RULE_DASH "----------------------------------------------------------------------------------------------------"
static_assert(sizeof(KV_RULE_EQ) == 101 && sizeof(KV_RULE_DASH) == 101);

inline constexpr const char* kRuleEq = KV_RULE_EQ "\n";
inline constexpr const char* kRuleDash = KV_RULE_DASH "\n";
