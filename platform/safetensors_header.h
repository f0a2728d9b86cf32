// The header of a safetensors file: after an 8-byte little-endian length, a JSON object
// naming each tensor's dtype, shape and byte range within the data area that follows, plus
// an optional "__metadata__" object of strings.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct SafetensorsTensor {
  std::string name;
  std::string dtype;             // as written: "F32", "F16", ...
  std::vector<uint64_t> shape;
  uint64_t begin = 0, end = 0;   // byte range within the data area
};

struct SafetensorsHeader {
  std::vector<SafetensorsTensor> tensors;                        // in the header's order
  std::vector<std::pair<std::string, std::string>> metadata;     // the string pairs of __metadata__
};

// Bytes per element of a safetensors dtype name; 0 for a name the format does not define.
uint64_t safetensors_dtype_size(std::string_view dtype);

// Needs: the header's JSON text, the size of the data area after it, and the dtypes a reader
// takes (empty: every dtype of the format). Fills *out, checking every entry: dtype, shape and
// data_offsets present, the dtype accepted, the range inside the data area and exactly as
// long as the shape needs. Returns false with a one-line reason in *err ("header is not valid
// JSON (...)", "tensor NAME: ..."); the caller adds which file.
bool parse_safetensors_header(std::string_view text, uint64_t data_size, const std::vector<std::string>& accepted,
                              SafetensorsHeader* out, std::string* err);

// The 8-byte length and the JSON text of h, padded with spaces to a multiple of 8 bytes, as
// the data that follows wants it aligned. Tensor ranges are written as h holds them.
std::string safetensors_header_bytes(const SafetensorsHeader& h);
