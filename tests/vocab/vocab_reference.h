// Plain reference versions of the vocabulary routines for the tests, built on standard
// containers from data/vocabulary.bin as read from disk (not from the embedded copy).
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

// The raw bytes of data/vocabulary.bin.
const std::string& reference_image_file();

// Token texts by id, parsed from the file.
const std::vector<std::string>& reference_texts();

// Text -> id over every text (all texts are distinct and non-empty).
const std::unordered_map<std::string, int32_t>& reference_ids();

// Id of a text that must exist; fails the calling test otherwise (returns -1).
int32_t reference_id(const std::string& text);

// Space marking, chat template, greedy longest match up to 32 bytes, fallback 3, at most
// max(1, capacity - 10) ids.
std::vector<int32_t> reference_tokenize(const std::string& prompt, int32_t capacity);

// The two renderings, written the plain way.
std::string reference_answer(int32_t id);
std::string reference_label(int32_t id);

// Lays texts out as a vocabulary image (header, offsets, pool), for hand-made vocabularies.
std::vector<uint8_t> make_vocabulary_image(const std::vector<std::string>& texts);
