// The program's speed on the synthetic weights, in one run: the machine's streaming read
// bandwidth; the batched prefill (tokens per second over a prompt of --prefill ids, through
// the kernel image's batched layer entry); full-depth decode steps (ms per token and GB/s
// against that bandwidth, and against reads of a fresh buffer and of the weights mapping made
// beside each step); and the wall time of every run mode under the literal schedules
// (korvane_literal) and the program's own (korvane), with their ratio.
//
// usage: mode_bench [--prompt TEXT] [--prefill N] [--runs N] [--buffer-mib N] [--no-modes]
// Without --prompt the modes run on the program's built-in prompt. Threads follow
// KORVANE_THREADS as the program does.
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

// The text quoted for a POSIX shell.
std::string shell_quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// Wall time of one run of `program` with args in dir (which holds the weights link); its
// output is discarded. Returns a negative time when the run fails.
double time_run(const std::string& program, const std::string& dir, const std::string& args) {
  const std::string cmd = "cd " + shell_quote(dir) + " && " + shell_quote(program) + args + " > /dev/null";
  const auto t0 = Clock::now();
  const int status = std::system(cmd.c_str());
  const double s = seconds_since(t0);
  return status == 0 ? s : -1.0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string prompt;
  bool have_prompt = false, modes = true;
  uint64_t prefill = 128, runs = 5, buffer_mib = 2048;
  for (int i = 1; i < argc; i++) {
    if (!std::strcmp(argv[i], "--prompt") && i + 1 < argc) prompt = argv[++i], have_prompt = true;
    else if (!std::strcmp(argv[i], "--prefill") && i + 1 < argc) prefill = std::strtoull(argv[++i], nullptr, 10);
    else if (!std::strcmp(argv[i], "--runs") && i + 1 < argc) runs = std::strtoull(argv[++i], nullptr, 10);
    else if (!std::strcmp(argv[i], "--buffer-mib") && i + 1 < argc) buffer_mib = std::strtoull(argv[++i], nullptr, 10);
    else if (!std::strcmp(argv[i], "--no-modes")) modes = false;
    else {
      std::fprintf(stderr, "usage: mode_bench [--prompt TEXT] [--prefill N] [--runs N] [--buffer-mib N] [--no-modes]\n");
      return 2;
    }
  }
  if (prefill < 1 || prefill > uint64_t(kPromptPassCapacity) || runs == 0 || buffer_mib == 0) {
    std::fprintf(stderr, "prefill must be 1 .. %d, runs and buffer at least 1\n", kPromptPassCapacity);
    return 2;
  }
  uint32_t workers = 0;
  if (!worker_count_from_setting(std::getenv("KORVANE_THREADS"), &workers)) {
    std::fprintf(stderr, "bad KORVANE_THREADS\n");
    return 2;
  }

  // Streaming reads first, before the weights take up memory.
  const unsigned threads = workers + 1;
  const double bandwidth = bench::measure_and_print_bandwidth(buffer_mib, threads);
  if (bandwidth < 0) return 1;

  const std::string path = KORVANE_SYNTHETIC_WEIGHTS;
  if (!ensure_synthetic_weights(path.c_str(), 1)) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    return 1;
  }
  WeightsView view;
  unsigned long error = 0;
  LoadedImages images;
  WorkerPool pool;
  if (open_weights(path.c_str(), &view, &error) != WeightsStatus::ok || !load_kernel_images(&images, ImageChoice::automatic) ||
      !start_worker_pool(images.worker_start, workers, &pool)) {
    std::fprintf(stderr, "cannot map the weights, load the images or start the workers\n");
    return 1;
  }
  build_rope_tables();
  std::printf("kernel images: %s\n", images.wide ? "wide (AVX-512)" : "AVX2");

  InferenceContext ctx;
  if (!bench::fill_context(&ctx, view, pool.area)) {
    std::fprintf(stderr, "cannot allocate the model buffers\n");
    return 1;
  }

  // Prefill: a templated-looking prompt of `prefill` ids, the whole model over it layer by
  // layer, the classifier at the last position only.
  std::vector<int32_t> ids(prefill);
  for (uint64_t i = 0; i < prefill; i++) ids[i] = i < 3 ? int32_t(i == 2 ? 106 : i + 2) : int32_t(1000 + 37 * i);
  PromptPass pass;
  pass.ctx = &ctx;
  pass.ids = ids.data();
  pass.count = int32_t(prefill);
  pass.rows = static_cast<float*>(aligned_alloc64(prompt_rows_bytes()));
  pass.saved = static_cast<float*>(aligned_alloc64(prompt_rows_bytes()));
  pass.work = static_cast<float*>(aligned_alloc64(prompt_work_bytes()));
  if (!pass.rows || !pass.saved || !pass.work) {
    std::fprintf(stderr, "cannot allocate the model buffers\n");
    return 1;
  }
  ctx.token_id = 2;
  ctx.position = 0;
  ctx.rope_cos = rope_cos_table[0];
  ctx.rope_sin = rope_sin_table[0];
  images.token_step(&ctx);  // brings the whole file into the mapping
  bench::print_large_pages(view.base, view.size);
  // Median and best seconds of a prefill through one image pair's batched entry and pool.
  int32_t next = 0;
  auto time_prefill = [&](LayerBlockFn block, JobHeader* area, double* best) {
    pass.block = block;
    ctx.job_slots = area;
    std::vector<double> s;
    for (uint64_t r = 0; r < std::max<uint64_t>(1, runs / 2); r++) {
      const auto t0 = Clock::now();
      pass_embed(pass);
      for (uint64_t l = 0; l < geom::kLayers; l++) pass_layer(pass, l);
      next = pass_classify_last(pass);
      s.push_back(seconds_since(t0));
    }
    std::sort(s.begin(), s.end());
    *best = s.front();
    return s[s.size() / 2];
  };
  auto print_prefill = [&](const char* which, double med, double best) {
    std::printf("prefill (%s), %llu ids, 18 layers + classifier at the last: median %.2f s = %.1f tokens/s (best %.1f)\n",
                which, (unsigned long long)prefill, med, double(prefill) / med, double(prefill) / best);
  };
  // Where the wide pair is in use, the AVX2 pair too, with a pool of its own, for comparison.
  if (images.wide) {
    LoadedImages narrow;
    WorkerPool narrow_pool;
    if (!load_kernel_images(&narrow, ImageChoice::avx2) || !start_worker_pool(narrow.worker_start, workers, &narrow_pool)) {
      std::fprintf(stderr, "cannot load the AVX2 images\n");
      return 1;
    }
    double best = 0;
    const double med = time_prefill(narrow.layer_block, narrow_pool.area, &best);
    print_prefill("AVX2 images", med, best);
  }
  double best = 0;
  const double med = time_prefill(images.layer_block, pool.area, &best);
  print_prefill(images.wide ? "wide images" : "AVX2 images", med, best);
  ctx.job_slots = pool.area;

  // Decode: full-depth steps after the prompt, as generation makes them. The machine's
  // bandwidth drifts over a run (other work on the host), so each step also sits between a read
  // of a fresh buffer just before it and a read of the weights mapping just after it: the
  // step's rate against those is the side-by-side figure. (The fresh read comes last before
  // the step, so no weights are left in the caches for it.)
  uint8_t* fresh = bench::fresh_buffer(buffer_mib << 20);
  if (!fresh) return 1;
  std::vector<double> ms, fresh_rate, mapped_rate;
  for (uint64_t r = 0; r < runs; r++) {
    fresh_rate.push_back(bench::stream_bandwidth(fresh, buffer_mib << 20, threads, 1));
    ctx.token_id = uint64_t(next);
    ctx.position = prefill + r;
    ctx.rope_cos = rope_cos_table[ctx.position];
    ctx.rope_sin = rope_sin_table[ctx.position];
    const auto t0 = Clock::now();
    next = int32_t(images.token_step(&ctx));
    ms.push_back(seconds_since(t0) * 1e3);
    mapped_rate.push_back(bench::stream_bandwidth(view.base, view.size, threads, 1));
  }
  std::free(fresh);
  std::sort(ms.begin(), ms.end());
  std::sort(fresh_rate.begin(), fresh_rate.end());
  std::sort(mapped_rate.begin(), mapped_rate.end());
  const double median = ms[ms.size() / 2];
  // Every layer block, the final norm, the input row and the whole embedding table.
  const double streamed = double(geom::kLayers * layer_off::block_size + geom::kDim * 4 + geom::kDim * 2 +
                                 geom::kVocab * geom::kDim * 2);
  const double rate = streamed / (median / 1e3), best_rate = streamed / (ms.front() / 1e3);
  std::printf("decode, 18 layers: median %.1f ms/token (best %.1f) = %.2f GB/s = %.1f %% of the streaming bandwidth\n",
              median, ms.front(), rate / 1e9, 100.0 * rate / bandwidth);
  const double fresh_median = fresh_rate[fresh_rate.size() / 2];
  std::printf("side by side, reads of the fresh buffer just before each step: median %.2f GB/s (best %.2f); "
              "decode = %.1f %% of it (best step against best read %.1f %%)\n",
              fresh_median / 1e9, fresh_rate.back() / 1e9, 100.0 * rate / fresh_median,
              100.0 * best_rate / fresh_rate.back());
  // Where the file's cached pages sit in slower memory than a fresh buffer (as on some virtual
  // machines), plain reads of the mapping are the most any reading of the weights can reach,
  // and the step's figure against them is the kernels' own share.
  const double mapped_median = mapped_rate[mapped_rate.size() / 2];
  std::printf("side by side, reads of the weights mapping just after each step: median %.2f GB/s; decode = %.1f %% of it\n",
              mapped_median / 1e9, 100.0 * rate / mapped_median);

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
