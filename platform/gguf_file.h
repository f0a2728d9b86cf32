// The GGUF container, read from bytes in memory: magic "GGUF", version (2 or 3), tensor count,
// metadata count, the typed metadata pairs, the tensor table (name, dimensions innermost first,
// type, offset), then the data area starting at the next multiple of the alignment
// (general.alignment, default 32). What the tensors mean is the caller's business: the weights
// converter and the control-vector loader both read their files through this one reader.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// Element types of the tensor table that a caller may take.
inline constexpr uint32_t kGgufTypeF32 = 0;
inline constexpr uint32_t kGgufTypeF16 = 1;
inline constexpr uint32_t kGgufTypeBF16 = 30;

// What a GGUF header may make the reader hold, whatever the counts it declares: real model files
// have about 40 metadata pairs and a few hundred tensors, a few megabytes of names and texts.
inline constexpr uint64_t kMaxGgufPairs = 1u << 16;
inline constexpr uint64_t kMaxGgufTensors = 1u << 16;
inline constexpr uint64_t kMaxGgufKeptBytes = 64u << 20;  // keys, string values, tensor names
inline constexpr int kMaxGgufArrayDepth = 5;              // levels of arrays within arrays

// A scalar metadata value, kept for every top-level key (arrays are stepped over).
struct GgufValue {
  bool is_int = false;
  bool is_string = false;
  int64_t integer = 0;  // integer keys, sign-extended or zero-extended
  std::string text;
};

struct GgufTensor {
  std::string name;
  std::vector<uint64_t> dims;  // innermost first, as stored
  uint32_t type;               // the table's element type
  uint64_t offset;             // first byte of the values, from the start of the file once read
  uint64_t bytes;              // byte count of the values
};

// The reader's state: the bytes (owned by the caller, alive while the tensors are used), how
// far the reading went and what it read.
struct GgufParse {
  const unsigned char* base = nullptr;  // first byte of the file
  uint64_t size = 0;                    // the file's length in bytes
  std::string name;           // how the file is named in reasons (its path)
  uint64_t pos = 0;           // next byte to read
  bool too_long = false;      // a string to keep was longer than kMaxGgufKeptBytes
  uint64_t kept = 0;          // bytes of keys, texts and names held so far
  uint32_t version = 0;
  uint64_t tensor_count = 0;
  uint64_t kv_count = 0;
  std::map<std::string, GgufValue> meta;
  std::vector<GgufTensor> tensors;
};

// Needs: p->base, size and name set, pos 0. Reads the header and every metadata pair into
// p->meta. Returns false with a one-line reason starting with the name in *err: not GGUF, an
// unsupported version, a file that ends early, a key given twice, an unknown value type, or a
// header past the limits above.
bool gguf_read_metadata(GgufParse* p, std::string* err);

// Judges one table entry as it is read (name, dims and type filled, offset not yet): returns
// the bytes of one element, or 0 with a one-line reason in *err to refuse the file.
typedef uint64_t (*GgufElementBytes)(const GgufTensor& t, const GgufParse& p, void* user, std::string* err);

// Needs: gguf_read_metadata done. Checks general.alignment, reads the tensor table into
// p->tensors (each entry judged by element_bytes), and makes every offset absolute. Returns
// false with a reason in *err for a bad alignment, an entry of 0 or more than 4 dimensions, an
// impossible shape, a misaligned offset, or data running past the end of the file.
bool gguf_read_tensors(GgufParse* p, GgufElementBytes element_bytes, void* user, std::string* err);

// What a written GGUF file holds: text and u32 metadata pairs, then one-dimensional F32
// tensors, each in the order given.
struct GgufOut {
  std::vector<std::pair<std::string, std::string>> texts;
  std::vector<std::pair<std::string, uint32_t>> counts;
  std::vector<std::pair<std::string, std::vector<float>>> vectors;
};

// The GGUF version 3 bytes of f: the metadata pairs (texts first), the tensor table, the data
// area at the next multiple of 32 bytes, each tensor's values padded to a multiple of 32.
std::string gguf_bytes(const GgufOut& f);
