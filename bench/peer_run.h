// The peer engine's figures, from its side-by-side script (which installs what it needs, writes
// the weights in its own format once, and prints its greedy ids, decode ms per token and prefill
// tokens per second). The benchmarks only run it and read its lines; when it cannot run they go
// on without it.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace bench {

// The figures of one peer run.
struct PeerFigures {
  double decode_ms = 0;       // median ms per generated token
  double prefill_23_tps = 0;  // tokens per second over a 23-id prompt
  double prefill_128_tps = 0; // over a 128-id prompt
};

// Needs: out. Reads the script's output lines into out; false unless all three figures are
// there and positive.
inline bool parse_peer_output(const std::string& text, PeerFigures* out) {
  *out = PeerFigures{};
  size_t at = 0;
  while (at < text.size()) {
    const size_t end = std::min(text.find('\n', at), text.size());
    const std::string line = text.substr(at, end - at);
    at = end + 1;
    double ms = 0, seconds = 0, tps = 0;
    int ids = 0;
    if (std::sscanf(line.c_str(), "decode median %lf ms/token", &ms) == 1) out->decode_ms = ms;
    else if (std::sscanf(line.c_str(), "prefill %d ids: median %lf s = %lf tokens/s", &ids, &seconds, &tps) == 3) {
      if (ids == 23) out->prefill_23_tps = tps;
      if (ids == 128) out->prefill_128_tps = tps;
    }
  }
  return out->decode_ms > 0 && out->prefill_23_tps > 0 && out->prefill_128_tps > 0;
}

// The text quoted for a POSIX shell.
inline std::string shell_quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// Needs: out, why. Runs `script WEIGHTS THREADS 3` and reads its figures. False with a one-line
// reason in why when the script is missing, fails or prints no figures.
inline bool run_peer(const std::string& script, const std::string& weights, unsigned threads, PeerFigures* out,
                     std::string* why) {
  if (access(script.c_str(), X_OK) != 0) {
    *why = "no runnable peer script at " + script;
    return false;
  }
  const std::string cmd = shell_quote(script) + " " + shell_quote(weights) + " " + std::to_string(threads) + " 3 2>&1";
  std::FILE* p = popen(cmd.c_str(), "r");
  if (!p) {
    *why = "cannot start " + script;
    return false;
  }
  std::string text;
  char chunk[4096];
  for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, p)) > 0;) text.append(chunk, n);
  const int status = pclose(p);
  if (status != 0 || !parse_peer_output(text, out)) {
    // The last line the script printed says why (npm unreachable, no python, ...).
    while (!text.empty() && text.back() == '\n') text.pop_back();
    const std::string last = text.substr(text.rfind('\n') == std::string::npos ? 0 : text.rfind('\n') + 1);
    *why = script + (status != 0 ? " failed (exit " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + ")"
                                 : " printed no figures") +
           (last.empty() ? "" : ": " + last);
    return false;
  }
  return true;
}

}  // namespace bench
