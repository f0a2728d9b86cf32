#include "tools/synthetic_weights/synthetic_weights_gen.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <immintrin.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "model/weights_layout.h"

namespace {

uint64_t splitmix64(uint64_t& state) {
  uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// Four xorshift128+ generators side by side, one per 64-bit lane; each step gives eight
// 32-bit random words.
struct Xorshift4 {
  __m256i s0, s1;
};

Xorshift4 seed_block(uint64_t seed, uint32_t tensor, uint64_t block) {
  uint64_t state = seed ^ (uint64_t(tensor) << 40) ^ (block * 0xD1B54A32D192ED03ull);
  uint64_t w[8];
  for (uint64_t& x : w) {
    x = splitmix64(state);
    if (x == 0) x = 1;  // an all-zero state would stay zero
  }
  Xorshift4 g;
  g.s0 = _mm256_setr_epi64x(int64_t(w[0]), int64_t(w[1]), int64_t(w[2]), int64_t(w[3]));
  g.s1 = _mm256_setr_epi64x(int64_t(w[4]), int64_t(w[5]), int64_t(w[6]), int64_t(w[7]));
  return g;
}

// Eight floats uniform in [-bound, bound).
inline __m256 next8(Xorshift4& g, __m256 scale) {
  __m256i x = g.s0;
  const __m256i y = g.s1;
  g.s0 = y;
  x = _mm256_xor_si256(x, _mm256_slli_epi64(x, 23));
  g.s1 = _mm256_xor_si256(_mm256_xor_si256(x, y),
                          _mm256_xor_si256(_mm256_srli_epi64(x, 17), _mm256_srli_epi64(y, 26)));
  const __m256i r = _mm256_add_epi64(g.s1, y);
  // Signed 32-bit words scaled by bound / 2^31.
  return _mm256_mul_ps(_mm256_cvtepi32_ps(r), scale);
}

// Writes `count` values (a multiple of 8) of one block, starting `skip` values into it.
void fill_block(uint64_t seed, uint32_t tensor, uint64_t block, uint64_t skip, uint64_t count,
                const SyntheticTensor& t, void* out) {
  Xorshift4 g = seed_block(seed, tensor, block);
  const __m256 scale = _mm256_set1_ps(t.bound * 0x1p-31f);
  for (uint64_t i = 0; i < skip; i += 8) next8(g, scale);
  if (t.is_f16) {
    auto* dst = static_cast<uint16_t*>(out);
    for (uint64_t i = 0; i < count; i += 8) {
      const __m128i h = _mm256_cvtps_ph(next8(g, scale), _MM_FROUND_TO_NEAREST_INT);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), h);
    }
  } else {
    auto* dst = static_cast<float*>(out);
    for (uint64_t i = 0; i < count; i += 8) _mm256_storeu_ps(dst + i, next8(g, scale));
  }
}

std::string stamp_text(uint64_t seed) {
  return "synthetic weights v" + std::to_string(kSyntheticVersion) + " seed " + std::to_string(seed) + "\n";
}

bool write_all(int fd, const void* data, uint64_t bytes) {
  const auto* p = static_cast<const uint8_t*>(data);
  while (bytes > 0) {
    ssize_t n = write(fd, p, bytes > (1u << 30) ? (1u << 30) : bytes);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    bytes -= uint64_t(n);
  }
  return true;
}

}  // namespace

SyntheticTensor synthetic_tensor(uint32_t index) {
  using namespace geom;
  // Uniform with variance 1/fan-in keeps every product near unit scale. The two matrices
  // that write into the residual stream get three times that, so the layers' sum outweighs
  // the input embedding (tied to the classifier) and the greedy choice depends on the
  // whole depth instead of echoing the input token.
  const float in_dim = std::sqrt(3.0f / float(kDim));
  const float out_dim = 3.0f * in_dim;
  const float out_ffn = 3.0f * std::sqrt(3.0f / float(kFfnDim));
  if (index == kLayers * 9) return {file_off::final_norm, kDim, false, 0.1f};
  if (index == kLayers * 9 + 1) return {file_off::embedding_table, kVocab * kDim, true, 0.05f};
  const uint64_t base = (index / 9) * layer_off::block_size;
  switch (index % 9) {
    case 0: return {base + layer_off::attn_norm, kDim, false, 0.1f};
    case 1: return {base + layer_off::ffn_norm, kDim, false, 0.1f};
    case 2: return {base + layer_off::wq, kDim * kDim, true, in_dim};
    case 3: return {base + layer_off::wk, kKvDim * kDim, true, in_dim};
    case 4: return {base + layer_off::wv, kKvDim * kDim, true, in_dim};
    case 5: return {base + layer_off::wo, kDim * kDim, true, out_dim};
    case 6: return {base + layer_off::w_gate, kFfnDim * kDim, true, in_dim};
    case 7: return {base + layer_off::w_up, kFfnDim * kDim, true, in_dim};
    default: return {base + layer_off::w_down, kDim * kFfnDim, true, out_ffn};
  }
}

void synthetic_values(uint64_t seed, uint32_t index, uint64_t first, uint64_t count, void* out) {
  const SyntheticTensor t = synthetic_tensor(index);
  const uint64_t elem = t.is_f16 ? 2 : 4;
  auto* dst = static_cast<uint8_t*>(out);
  for (uint64_t done = 0; done < count;) {
    const uint64_t pos = first + done;
    const uint64_t in_block = pos % kSyntheticBlockValues;
    uint64_t n = kSyntheticBlockValues - in_block;
    if (n > count - done) n = count - done;
    fill_block(seed, index, pos / kSyntheticBlockValues, in_block, n, t, dst + done * elem);
    done += n;
  }
}

bool write_synthetic_weights(const char* path, uint64_t seed) {
  char tmp[4096];
  snprintf(tmp, sizeof tmp, "%s.tmp.%ld", path, long(getpid()));
  const int fd = open(tmp, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return false;
  // One buffer of 16 blocks of fp16 (32 MiB) is written per call.
  const uint64_t chunk_values = 16 * kSyntheticBlockValues;
  void* buf = std::aligned_alloc(64, chunk_values * 2);
  bool ok = buf != nullptr;
  uint64_t written = 0;
  for (uint32_t i = 0; ok && i < kSyntheticTensorCount; i++) {
    const SyntheticTensor t = synthetic_tensor(i);
    const uint64_t elem = t.is_f16 ? 2 : 4;
    ok = t.offset == written;  // the table above leaves no gaps
    for (uint64_t first = 0; ok && first < t.count; first += chunk_values / (elem / 2)) {
      uint64_t n = chunk_values / (elem / 2);
      if (n > t.count - first) n = t.count - first;
      synthetic_values(seed, i, first, n, buf);
      ok = write_all(fd, buf, n * elem);
      written += n * elem;
    }
  }
  std::free(buf);
  ok = ok && written == file_off::end;
  // Flushed and handed back, as the converter does with a real model: the first run maps the
  // file in 2 MiB pages instead of keeping the 4 KiB pages the writes left in the cache.
  if (ok && fdatasync(fd) != 0) ok = false;
  if (ok) posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  const int saved = errno;
  if (close(fd) != 0) ok = false;
  // The old stamp goes first: a file without a matching stamp is never trusted.
  const std::string stamp_path = std::string(path) + ".stamp";
  if (ok && unlink(stamp_path.c_str()) != 0 && errno != ENOENT) ok = false;
  if (ok && rename(tmp, path) != 0) ok = false;
  if (!ok) {
    unlink(tmp);
    errno = saved ? saved : EIO;
    return false;
  }
  const std::string stamp = stamp_text(seed);
  const int sfd = open(stamp_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (sfd < 0) return false;
  ok = write_all(sfd, stamp.data(), stamp.size());
  return close(sfd) == 0 && ok;
}

bool ensure_synthetic_weights(const char* path, uint64_t seed) {
  std::error_code ec;
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  if (!parent.empty()) std::filesystem::create_directories(parent, ec);
  const std::string lock_path = std::string(path) + ".lock";
  const int lock = open(lock_path.c_str(), O_RDWR | O_CREAT, 0644);
  if (lock < 0) return false;
  while (flock(lock, LOCK_EX) != 0) {
    if (errno != EINTR) {
      close(lock);
      return false;
    }
  }
  struct stat st;
  bool ok = stat(path, &st) == 0 && uint64_t(st.st_size) == file_off::end;
  if (ok) {
    const std::string want = stamp_text(seed);
    char have[128] = {};
    const int sfd = open((std::string(path) + ".stamp").c_str(), O_RDONLY);
    ok = sfd >= 0 && read(sfd, have, sizeof have - 1) == ssize_t(want.size()) && want == have;
    if (sfd >= 0) close(sfd);
  }
  if (!ok) ok = write_synthetic_weights(path, seed);
  const int saved = errno;
  close(lock);  // releases the lock
  errno = saved;
  return ok;
}
