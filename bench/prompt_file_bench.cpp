// What a prompt file saves and what its outputs cost, on the synthetic weights, in one run:
// N prompts of W words through one process (one start-up) against N processes of one prompt
// each, the same file again with --json and --states, with --batch B the file once more with
// B prompts in flight, and the state file's writer on its own (N prompts' states streamed out
// and completed). The program runs alternate, round by round, so that a drift of the
// machine's bandwidth falls on all of them alike.
//
// usage: prompt_file_bench [--prompts N] [--words W] [--rounds R] [--batch B]
// Threads follow KORVANE_THREADS as the program does.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "reports/state_file.h"
#include "tools/synthetic_weights/synthetic_weights_gen.h"

namespace {

using Clock = std::chrono::steady_clock;
double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// Wall time of one shell command; negative when it fails (a status other than 0).
double time_command(const std::string& cmd) {
  const auto t0 = Clock::now();
  const int status = std::system(cmd.c_str());
  const double s = seconds_since(t0);
  return status == 0 ? s : -1.0;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0.0 : v[v.size() / 2];
}

// Seconds to write n prompts' states (18 x 2048 x 2 floats and 12 ids each) and complete the file.
double time_state_writer(const std::string& path, int n) {
  std::vector<float> states(kStateFloats, 0.5f);  // f32 [18][2048], stands for normed and residual
  std::vector<int32_t> ids(12, 2);
  const auto t0 = Clock::now();
  StateFile f;
  std::string why = state_file_open(&f, path);
  for (int i = 0; i < n && why.empty(); i++) {
    why = state_file_add_prompt(&f, i, states.data(), states.data(), ids.data(), int32_t(ids.size()));
  }
  if (why.empty()) why = state_file_finish(&f, "[]", "{}");
  const double s = seconds_since(t0);
  if (!why.empty()) std::fprintf(stderr, "state file: %s\n", why.c_str());
  return why.empty() ? s : -1.0;
}

}  // namespace

int main(int argc, char** argv) {
  int prompts = 20, rounds = 1, words_per_prompt = 1, batch = 0;
  for (int i = 1; i < argc; i++) {
    if (!std::strcmp(argv[i], "--prompts") && i + 1 < argc) prompts = std::atoi(argv[++i]);
    else if (!std::strcmp(argv[i], "--rounds") && i + 1 < argc) rounds = std::atoi(argv[++i]);
    else if (!std::strcmp(argv[i], "--words") && i + 1 < argc) words_per_prompt = std::atoi(argv[++i]);
    else if (!std::strcmp(argv[i], "--batch") && i + 1 < argc) batch = std::atoi(argv[++i]);
    else {
      std::fprintf(stderr, "usage: prompt_file_bench [--prompts N] [--words W] [--rounds R] [--batch B]\n");
      return 2;
    }
  }
  if (prompts < 1 || rounds < 1 || words_per_prompt < 1 || batch < 0) {
    std::fprintf(stderr, "prompt_file_bench: --prompts, --words and --rounds must be at least 1, --batch at least 0\n");
    return 2;
  }
  const std::string weights = KORVANE_SYNTHETIC_WEIGHTS;
  if (!ensure_synthetic_weights(weights.c_str(), 1)) {
    std::fprintf(stderr, "prompt_file_bench: cannot make %s\n", weights.c_str());
    return 1;
  }
  char folder[] = "/tmp/prompt_file_bench.XXXXXX";
  if (!mkdtemp(folder)) return 1;
  const std::string dir = folder;
  static const char* const kWords[] = {"Hello", "tax", "river", "music", "stone", "light", "seven", "garden",
                                       "paper", "winter", "bridge", "orange", "silver", "coffee", "planet",
                                       "window", "forest", "letter", "engine", "island"};
  std::vector<std::string> lines;  // each prompt's words, the first word telling it apart
  {
    std::ofstream file(dir + "/p.txt");
    for (int i = 0; i < prompts; i++) {
      std::string line = std::string(kWords[i % 20]) + (i >= 20 ? std::to_string(i / 20) : "");
      for (int w = 1; w < words_per_prompt; w++) line += std::string(" ") + kWords[(i + 7 * w) % 20];
      lines.push_back(line);
      file << line << "\n";
    }
  }
  const std::string program = std::string(KORVANE_PROGRAM) + " --weights '" + weights + "'";
  const std::string one_process = program + " --prompts " + dir + "/p.txt > /dev/null 2>&1";
  const std::string with_outputs = program + " --prompts " + dir + "/p.txt --json " + dir + "/r.jsonl --states " +
                                   dir + "/s.safetensors > /dev/null 2>&1";
  const std::string batched =
      program + " --prompts " + dir + "/p.txt --batch " + std::to_string(batch) + " > /dev/null 2>&1";
  std::string per_prompt = "true";
  for (const std::string& line : lines) per_prompt += " && " + program + " '" + line + "' > /dev/null 2>&1";

  std::printf("%d prompts of %d word(s), default mode, %d round(s), alternating\n", prompts, words_per_prompt, rounds);
  std::vector<double> one, many, outputs, in_flight;
  for (int r = 0; r < rounds; r++) {
    one.push_back(time_command(one_process));
    many.push_back(time_command(per_prompt));
    outputs.push_back(time_command(with_outputs));
    in_flight.push_back(batch > 0 ? time_command(batched) : 0.0);
    std::printf("  round %d: one process %.2f s, %d processes %.2f s, one process with --json and --states %.2f s",
                r + 1, one.back(), prompts, many.back(), outputs.back());
    if (batch > 0) std::printf(", with --batch %d %.2f s", batch, in_flight.back());
    std::printf("\n");
    if (one.back() < 0 || many.back() < 0 || outputs.back() < 0 || in_flight.back() < 0) {
      std::fprintf(stderr, "prompt_file_bench: a run failed\n");
      return 1;
    }
  }
  const double a = median(one), b = median(many), c = median(outputs);
  std::printf("one process:        %8.2f s (%.3f s a prompt)\n", a, a / prompts);
  std::printf("%3d processes:      %8.2f s (%.3f s a prompt), %.3f x the one process\n", prompts, b, b / prompts, b / a);
  std::printf("with --json/--states: %6.2f s, %+.2f %% against the one process (within the machine's drift)\n", c,
              100.0 * (c / a - 1.0));
  if (batch > 0) {
    const double d = median(in_flight);
    std::printf("with --batch %d:     %8.2f s, %.3f x the one process, %.3f x the %d processes\n", batch, d, d / a,
                d / b, prompts);
  }
  const double writer = time_state_writer(dir + "/w.safetensors", prompts);
  std::printf("state file writer alone: %.4f s for %d prompts (%.3f ms a prompt, %.4f %% of a prompt's run)\n", writer,
              prompts, 1000.0 * writer / prompts, 100.0 * writer / a);
  std::system(("rm -rf '" + dir + "'").c_str());
  return 0;
}
