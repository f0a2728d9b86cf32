// The prompts of a --prompts file: plain lines, or JSON Lines with "prompt" and "id".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

struct PromptLine {
  int64_t index;       // 0-based among the file's non-blank lines
  int64_t line;        // 1-based line number in the file
  nlohmann::json id;   // the JSON line's "id" (string or number), else null
  std::string text;    // the prompt (for a refused line, what could be read of it)
  std::string error;   // non-empty: the line cannot be run, and why
};

// Needs: the file's bytes. Returns one entry per non-blank line ("\r\n" ends taken, lines of
// spaces and tabs skipped); JSON Lines when the first non-blank character is '{'. A line is
// refused (error set) when it is not a JSON object with a "prompt" string and at most a
// string or number "id", is not UTF-8 in a JSON file, is empty, holds a NUL, or its prompt is
// over 4095 bytes.
std::vector<PromptLine> parse_prompt_file(const std::string& bytes);

// Why a prompt cannot run as the command line's prompt would (empty, a NUL, over 4095 bytes),
// or "" when it can.
std::string prompt_refusal(const std::string& text);

// Reads a whole file into bytes; false (with the system's error number) when it cannot.
bool read_whole_file(const char* path, std::string* bytes, unsigned long* error);
