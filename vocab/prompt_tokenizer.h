// The prompt tokenizer: space marking, the chat template, greedy longest match.
#pragma once

#include <cstdint>

#include "model/run_limits.h"

inline constexpr int32_t kBosId = vocab_ids::kBos;           // first id of every sequence
inline constexpr int32_t kFallbackId = vocab_ids::kUnknown;  // one byte that begins no token
inline constexpr int32_t kLongestCandidate = 32; // bytes tried at one position, at most
inline constexpr int32_t kMarkedPromptStop = 4000;
inline constexpr int32_t kOutputReserve = limits::kOutputReserve;  // ids kept free at the end
inline constexpr int32_t kMarkedPromptBytes = 4096;     // space-marked prompt buffer
inline constexpr int32_t kTemplatedPromptBytes = 8192;  // templated prompt buffer

// Needs: a NUL-terminated prompt, marked[kMarkedPromptBytes]. Copies the prompt with each
// space byte (0x20) written as U+2581; stops before taking a byte once 4000 bytes are
// written, so at most 4002. Terminates marked and returns its length.
int32_t mark_prompt_spaces(const char* prompt, char* marked);

// Needs: a NUL-terminated marked prompt of at most 4002 bytes, text[kTemplatedPromptBytes].
// Writes the marked prompt inside the chat template (56 bytes more); returns the length.
int32_t apply_chat_template(const char* marked, char* text);

// Needs: a built index, a NUL-terminated prompt, capacity >= 1 ids at out. Writes the
// beginning-of-sequence id and then the ids of the templated prompt, at most
// max(1, capacity - 10) in all; returns how many it wrote. When `cut` is given it tells
// whether the id limit stopped the templated text before its end.
int32_t tokenize_prompt(const char* prompt, int32_t* out, int32_t capacity, bool* cut = nullptr);
