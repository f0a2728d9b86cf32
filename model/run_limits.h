// The fixed numbers of the run modes and the capacities that the driver, the tokenizer and the
// prompt passes must agree on: one home for each.
#pragma once

#include <cstddef>
#include <cstdint>

#include "model/weights_layout.h"

namespace limits {
// Command line.
inline constexpr size_t kPromptCapacity = 4096;  // at most 4095 bytes of UTF-8 plus the NUL
inline constexpr size_t kArgCapacity = 1024;     // one argument: at most 1023 bytes
inline constexpr size_t kBetaCapacity = 64;      // the --beta value: at most 63 bytes

// Prompt ids: the array the tokenizer fills and the rows every prompt pass is made for.
inline constexpr int32_t kPromptIdCapacity = 256;
inline constexpr int32_t kOutputReserve = 10;  // ids the tokenizer keeps free at the end
inline constexpr int32_t kMaxPrefillIds = kPromptIdCapacity - kOutputReserve;  // 246
static_assert(kMaxPrefillIds == 246);
static_assert(kPromptIdCapacity <= int32_t(geom::kMaxPositions));
}  // namespace limits

namespace vocab_ids {
inline constexpr int32_t kBos = 2;         // first id of every sequence
inline constexpr int32_t kUnknown = 3;     // one byte that begins no token
inline constexpr int32_t kEos = 1;         // ends an answer
inline constexpr int32_t kEndOfTurn = 107; // ends an answer
}  // namespace vocab_ids

namespace modes {
// Telemetry and generation.
inline constexpr int kTelemetryRows = int(geom::kLayers);  // one row per depth 1 .. 18
inline constexpr int kMaxAnswerTokens = 25;
inline constexpr int kHistoryCapacity = 32;  // the penalty's window of generated ids
static_assert(kHistoryCapacity >= kMaxAnswerTokens);

// The splice: its decision pass reads the state after layers 0 .. 15, and the vector is added
// after layer 14.
inline constexpr int kSpliceLayer = 14;
inline constexpr uint64_t kSplicePrepassLayers = 16;
inline constexpr int32_t kSpliceAnchorToken = 235308;  // vocabulary text "5"
static_assert(kSpliceLayer + 2 == int(kSplicePrepassLayers));

// The head audit knocks out each query head of this layer.
inline constexpr int kAuditLayer = 14;
inline constexpr int kAuditHeads = int(geom::kHeads);
static_assert(kAuditLayer + 3 < int(geom::kLayers));
}  // namespace modes
