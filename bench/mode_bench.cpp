// The program's speed on the synthetic weights, in one run: the machine's read bandwidth; the
// batched prefill (tokens per second over a prompt of --prefill ids, through the kernel image's
// batched layer entry); full-depth decode steps (ms per token and GB/s against the read
// reference: the better of reads of a fresh buffer and of the weights mapping, made beside each
// step); with --peer, the peer engine's decode and prefill alternating with ours three times;
// and the wall time of every run mode under the literal schedules (korvane_literal) and the
// program's own (korvane), with their ratio.
//
// usage: mode_bench [--prompt TEXT] [--prefill N] [--runs N] [--buffer-mib N] [--no-modes]
//                   [--peer] [--peer-script PATH]
// Without --prompt the modes run on the program's built-in prompt. Threads follow
// KORVANE_THREADS as the program does. The peer script defaults to the one the build names.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_context.h"
#include "bench/mapping_pages.h"
#include "bench/peer_run.h"
#include "bench/streaming_read.h"
#include "model/inference_context.h"
#include "engine/kernel_images.h"
#include "engine/prompt_pass.h"
#include "engine/rope_tables.h"
#include "engine/weights_file.h"
#include "model/weights_layout.h"
#include "engine/worker_pool.h"
#include "model/layer_block.h"
#include "platform/platform.h"
#include "tools/synthetic_weights/synthetic_weights_gen.h"

namespace {

using bench::Clock;
using bench::seconds_since;
using bench::shell_quote;

// Wall time of one run of `program` with args in dir (which holds the weights link); its
// output is discarded. Returns a negative time when the run fails.
double time_run(const std::string& program, const std::string& dir, const std::string& args) {
  const std::string cmd = "cd " + shell_quote(dir) + " && " + shell_quote(program) + args + " > /dev/null";
  const auto t0 = Clock::now();
  const int status = std::system(cmd.c_str());
  const double s = seconds_since(t0);
  return status == 0 ? s : -1.0;
}

// What the prefill and decode measurements share: the model's context and prompt pass, the
// program's images and pool, the weights and a fresh buffer to read beside the steps.
struct Bench {
  InferenceContext ctx;
  PromptPass pass;         // its rows, saved and work buffers owned here, never freed
  std::vector<int32_t> ids;  // the prompt, kPromptPassCapacity ids; a prefill of n reads the first n
  LoadedImages images;
  WorkerPool pool;
  WeightsView view;
  unsigned threads = 1;    // the workers and the caller
  uint8_t* fresh = nullptr;  // from bench::fresh_buffer(fresh_bytes)
  uint64_t fresh_bytes = 0;
  int32_t next = 2;        // the id the last prefill or step chose
};

// Needs: b ready, count 1 .. kPromptPassCapacity, reps >= 1. Median seconds of `reps`
// prefills of the first `count` ids through one image pair's batched entry and pool (the best
// in *best): the whole model layer by layer, the classifier at the last position only.
double time_prefill(Bench& b, LayerBlockFn block, JobHeader* area, int32_t count, uint64_t reps, double* best) {
  b.pass.block = block;
  b.pass.count = count;
  b.ctx.job_slots = area;
  std::vector<double> s;
  for (uint64_t r = 0; r < reps; r++) {
    const auto t0 = Clock::now();
    pass_embed(b.pass);
    for (uint64_t l = 0; l < geom::kLayers; l++) pass_layer(b.pass, l);
    b.next = pass_classify_last(b.pass);
    s.push_back(seconds_since(t0));
  }
  b.ctx.job_slots = b.pool.area;
  std::sort(s.begin(), s.end());
  *best = s.front();
  return s[s.size() / 2];
}

// Decode steps and the reads beside them.
struct DecodeFigures {
  double median_ms = 0, best_ms = 0;
  bench::ReadReference median_reads, best_reads;  // of the reads beside the steps
};

// Needs: b ready, runs >= 1, from + runs <= the caches' positions. Full-depth steps at
// positions from, from + 1, ..., as generation makes them. The machine's bandwidth drifts over a
// run (other work on the host), so each step sits between a read of the fresh buffer just
// before it and a read of the weights mapping just after it: the step's rate against those is
// the side-by-side figure. (The fresh read comes last before the step, so no weights are left in
// the caches for it.)
DecodeFigures time_decode(Bench& b, uint64_t from, uint64_t runs) {
  std::vector<double> ms, fresh, mapped;
  for (uint64_t r = 0; r < runs; r++) {
    fresh.push_back(bench::stream_bandwidth(b.fresh, b.fresh_bytes, b.threads, 1));
    b.ctx.token_id = uint64_t(b.next);
    b.ctx.position = from + r;
    b.ctx.rope_cos = rope_cos_table[b.ctx.position];
    b.ctx.rope_sin = rope_sin_table[b.ctx.position];
    const auto t0 = Clock::now();
    b.next = int32_t(b.images.token_step(&b.ctx));
    ms.push_back(seconds_since(t0) * 1e3);
    mapped.push_back(bench::stream_bandwidth(b.view.base, b.view.size, b.threads, 1));
  }
  std::sort(ms.begin(), ms.end());
  std::sort(fresh.begin(), fresh.end());
  std::sort(mapped.begin(), mapped.end());
  DecodeFigures d;
  d.median_ms = ms[ms.size() / 2];
  d.best_ms = ms.front();
  d.median_reads = {fresh[fresh.size() / 2], mapped[mapped.size() / 2]};
  d.best_reads = {fresh.back(), mapped.back()};
  return d;
}

// Bytes one full-depth step streams: every layer block, the final norm, the input row and the
// whole embedding table (the classifier).
constexpr double kStepBytes = double(geom::kLayers * layer_off::block_size + geom::kDim * 4 + geom::kDim * 2 +
                                     geom::kVocab * geom::kDim * 2);

// The middle of three or more figures.
double median_of(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Needs: b ready. Three rounds, each our prefills of 128 and 23 ids and decode steps and then one
// run of the peer script on the same weights and thread count; prints every round's figures,
// the medians and their ratios. When the peer cannot run, prints a one-line note and stops.
void compare_with_peer(Bench& b, const std::string& script, const std::string& weights, uint64_t runs) {
  std::vector<double> ours_ms, ours_23, ours_128, ours_ref, peer_ms, peer_23, peer_128;
  for (int round = 0; round < 3; round++) {
    // The peer decodes after its 23-id prompt; so do we.
    double best = 0;
    ours_128.push_back(128.0 / time_prefill(b, b.images.layer_block, b.pool.area, 128, 3, &best));
    ours_23.push_back(23.0 / time_prefill(b, b.images.layer_block, b.pool.area, 23, 3, &best));
    const DecodeFigures d = time_decode(b, 23, runs);
    ours_ms.push_back(d.median_ms);
    ours_ref.push_back(bench::best_of(d.median_reads));
    bench::PeerFigures peer;
    std::string why;
    if (!bench::run_peer(script, weights, b.threads, &peer, &why)) {
      std::printf("peer: skipped, %s\n", why.c_str());
      return;
    }
    peer_ms.push_back(peer.decode_ms);
    peer_23.push_back(peer.prefill_23_tps);
    peer_128.push_back(peer.prefill_128_tps);
  }
  std::printf("side by side with the peer (%s, %u threads), three rounds, ours then the peer's:\n", script.c_str(),
              b.threads);
  auto row = [](const char* what, const std::vector<double>& ours, const std::vector<double>& peer, const char* ratio) {
    std::printf("  %-24s ours %7.1f %7.1f %7.1f   peer %7.1f %7.1f %7.1f   medians %7.1f / %7.1f = %.3f %s\n", what,
                ours[0], ours[1], ours[2], peer[0], peer[1], peer[2], median_of(ours), median_of(peer),
                median_of(ours) / median_of(peer), ratio);
  };
  row("decode, ms/token", ours_ms, peer_ms, "(below 1: ours faster)");
  row("prefill 23 ids, tokens/s", ours_23, peer_23, "(above 1: ours faster)");
  row("prefill 128 ids, tokens/s", ours_128, peer_128, "(above 1: ours faster)");
  const double ref = median_of(ours_ref);
  std::printf("  decode against the read reference beside our steps (median %.2f GB/s): ours %.1f %%, the peer's %.1f %%\n",
              ref / 1e9, 100.0 * kStepBytes / (median_of(ours_ms) / 1e3) / ref,
              100.0 * kStepBytes / (median_of(peer_ms) / 1e3) / ref);
}

}  // namespace

int main(int argc, char** argv) {
  std::string prompt, peer_script = KORVANE_PEER_SCRIPT;
  bool have_prompt = false, modes = true, peer = false;
  uint64_t prefill = 128, runs = 5, buffer_mib = 2048;
  for (int i = 1; i < argc; i++) {
    if (!std::strcmp(argv[i], "--prompt") && i + 1 < argc) prompt = argv[++i], have_prompt = true;
    else if (!std::strcmp(argv[i], "--prefill") && i + 1 < argc) prefill = std::strtoull(argv[++i], nullptr, 10);
    else if (!std::strcmp(argv[i], "--runs") && i + 1 < argc) runs = std::strtoull(argv[++i], nullptr, 10);
    else if (!std::strcmp(argv[i], "--buffer-mib") && i + 1 < argc) buffer_mib = std::strtoull(argv[++i], nullptr, 10);
    else if (!std::strcmp(argv[i], "--no-modes")) modes = false;
    else if (!std::strcmp(argv[i], "--peer")) peer = true;
    else if (!std::strcmp(argv[i], "--peer-script") && i + 1 < argc) peer_script = argv[++i], peer = true;
    else {
      std::fprintf(stderr, "usage: mode_bench [--prompt TEXT] [--prefill N] [--runs N] [--buffer-mib N] [--no-modes] "
                           "[--peer] [--peer-script PATH]\n");
      return 2;
    }
  }
  if (prefill < 1 || prefill > uint64_t(kPromptPassCapacity) || runs == 0 || runs > 1024 || buffer_mib == 0 ||
      buffer_mib % 2) {
    std::fprintf(stderr, "prefill must be 1 .. %d, runs 1 .. 1024, the buffer an even number of MiB\n",
                 kPromptPassCapacity);
    return 2;
  }
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // each figure as it is measured, also into a file
  uint32_t workers = 0;
  if (!worker_count_from_setting(std::getenv("KORVANE_THREADS"), &workers)) {
    std::fprintf(stderr, "bad KORVANE_THREADS\n");
    return 2;
  }

  // Fresh reads first, before the weights take up memory.
  Bench b;
  b.threads = workers + 1;
  const double start_reads = bench::measure_and_print_bandwidth(buffer_mib, b.threads);
  if (start_reads < 0) return 1;

  const std::string path = KORVANE_SYNTHETIC_WEIGHTS;
  if (!ensure_synthetic_weights(path.c_str(), 1)) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    return 1;
  }
  unsigned long error = 0;
  if (open_weights(path.c_str(), &b.view, &error) != WeightsStatus::ok ||
      !load_kernel_images(&b.images, ImageChoice::automatic) ||
      !start_worker_pool(b.images.worker_start, workers, &b.pool)) {
    std::fprintf(stderr, "cannot map the weights, load the images or start the workers\n");
    return 1;
  }
  build_rope_tables();
  std::printf("kernel images: %s\n", b.images.wide ? "wide (AVX-512)" : "AVX2");

  if (!bench::fill_context(&b.ctx, b.view, b.pool.area)) {
    std::fprintf(stderr, "cannot allocate the model buffers\n");
    return 1;
  }

  // A templated-looking prompt.
  b.ids.resize(kPromptPassCapacity);
  for (int32_t i = 0; i < kPromptPassCapacity; i++) b.ids[i] = i < 3 ? (i == 2 ? 106 : i + 2) : 1000 + 37 * i;
  b.pass.ctx = &b.ctx;
  b.pass.ids = b.ids.data();
  b.pass.rows = static_cast<float*>(aligned_alloc64(prompt_rows_bytes()));
  b.pass.saved = static_cast<float*>(aligned_alloc64(prompt_rows_bytes()));
  b.pass.work = static_cast<float*>(aligned_alloc64(prompt_work_bytes()));
  if (!b.pass.rows || !b.pass.saved || !b.pass.work) {
    std::fprintf(stderr, "cannot allocate the model buffers\n");
    return 1;
  }
  b.ctx.token_id = 2;
  b.ctx.position = 0;
  b.ctx.rope_cos = rope_cos_table[0];
  b.ctx.rope_sin = rope_sin_table[0];
  b.images.token_step(&b.ctx);  // brings the whole file into the mapping
  bench::print_large_pages(b.view.base, b.view.size);
  const uint64_t reps = std::max<uint64_t>(1, runs / 2);
  auto print_prefill = [&](const char* which, double med, double best) {
    std::printf("prefill (%s), %llu ids, 18 layers + classifier at the last: median %.2f s = %.1f tokens/s (best %.1f)\n",
                which, (unsigned long long)prefill, med, double(prefill) / med, double(prefill) / best);
  };
  // Where the wide pair is in use, the AVX2 pair too, with a pool of its own, for comparison.
  if (b.images.wide) {
    LoadedImages narrow;
    WorkerPool narrow_pool;
    if (!load_kernel_images(&narrow, ImageChoice::avx2) || !start_worker_pool(narrow.worker_start, workers, &narrow_pool)) {
      std::fprintf(stderr, "cannot load the AVX2 images\n");
      return 1;
    }
    double best = 0;
    const double med = time_prefill(b, narrow.layer_block, narrow_pool.area, int32_t(prefill), reps, &best);
    print_prefill("AVX2 images", med, best);
  }
  double best = 0;
  const double med = time_prefill(b, b.images.layer_block, b.pool.area, int32_t(prefill), reps, &best);
  print_prefill(b.images.wide ? "wide images" : "AVX2 images", med, best);

  // Decode: full-depth steps after the prompt, each between reads of a fresh buffer and of the
  // weights mapping; the step's rate is set against the better of the two.
  b.fresh_bytes = buffer_mib << 20;
  b.fresh = bench::fresh_buffer(b.fresh_bytes);
  if (!b.fresh) return 1;
  const DecodeFigures d = time_decode(b, prefill, runs);
  const double rate = kStepBytes / (d.median_ms / 1e3), best_rate = kStepBytes / (d.best_ms / 1e3);
  std::printf("decode, 18 layers: median %.1f ms/token (best %.1f) = %.2f GB/s\n", d.median_ms, d.best_ms, rate / 1e9);
  bench::print_reference(d.median_reads, "medians of the reads beside the steps");
  std::printf("decode = %.1f %% of the read reference (best step against the best reads: %.1f %%; against the fresh "
              "buffer at the start: %.1f %%)\n",
              100.0 * rate / bench::best_of(d.median_reads), 100.0 * best_rate / bench::best_of(d.best_reads),
              100.0 * rate / start_reads);

  if (peer) compare_with_peer(b, peer_script, path, runs);
  bench::free_fresh_buffer(b.fresh, b.fresh_bytes);

  if (!modes) return 0;
  // The modes through the two programs, one run each, in a directory holding the weights link.
  char dir[] = "/tmp/korvane-bench-XXXXXX";
  if (!mkdtemp(dir) || symlink(path.c_str(), (std::string(dir) + "/gemma2b_fp16.bin").c_str()) != 0) {
    std::fprintf(stderr, "cannot make the run directory\n");
    return 1;
  }
  const std::string tail = have_prompt ? " " + shell_quote(prompt) : "";
  const struct {
    const char* name;
    const char* args;
  } mode_list[] = {{"default", ""}, {"splice", " --splice-substitute"}, {"audit", " --audit-heads"}};
  std::printf("modes on %s:\n", have_prompt ? ("--prompt " + shell_quote(prompt)).c_str() : "the built-in prompt");
  for (const auto& m : mode_list) {
    const double shared = time_run(KORVANE_PROGRAM, dir, std::string(m.args) + tail);
    const double literal = time_run(KORVANE_LITERAL_PROGRAM, dir, std::string(m.args) + tail);
    std::printf("  %-8s literal %8.1f s   optimised %7.1f s   ratio %5.1fx\n", m.name, literal, shared,
                literal > 0 && shared > 0 ? literal / shared : 0.0);
  }
  unlink((std::string(dir) + "/gemma2b_fp16.bin").c_str());
  rmdir(dir);
  return 0;
}
