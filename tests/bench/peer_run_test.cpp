// The peer's figures are read from its script's lines, and a peer that cannot run is skipped
// with a reason instead of figures.
#include "bench/peer_run.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <string>

#include "tests/support/temp_dir.h"

namespace {

const std::string kOutput =
    "ids 108 108 108\n"
    "decode median 164.1 ms/token (6.09 tokens/s), threads 2\n"
    "prefill 23 ids: median 1.188 s = 19.4 tokens/s\n"
    "prefill 128 ids: median 6.229 s = 20.5 tokens/s\n";

// A script at dir/name that prints `body` (a shell script's lines) when run; its path.
std::string write_script(const TempDir& dir, const std::string& name, const std::string& body) {
  const std::string path = dir.file(name);
  std::ofstream(path) << "#!/bin/sh\n" << body;
  chmod(path.c_str(), 0755);
  return path;
}

TEST(PeerRun, ReadsAllThreeFiguresAndNeedsEachOfThem) {
  bench::PeerFigures f;
  ASSERT_TRUE(bench::parse_peer_output(kOutput, &f));
  EXPECT_DOUBLE_EQ(f.decode_ms, 164.1);
  EXPECT_DOUBLE_EQ(f.prefill_23_tps, 19.4);
  EXPECT_DOUBLE_EQ(f.prefill_128_tps, 20.5);
  // Without any one figure line (a run cut short), there are no figures.
  for (size_t line = 1; line < 4; line++) {
    std::string cut;
    size_t at = 0;
    for (size_t i = 0; i < 4; i++) {
      const size_t end = kOutput.find('\n', at) + 1;
      if (i != line) cut += kOutput.substr(at, end - at);
      at = end;
    }
    EXPECT_FALSE(bench::parse_peer_output(cut, &f)) << cut;
  }
  EXPECT_FALSE(bench::parse_peer_output("decode median nan ms/token\n", &f));
}

TEST(PeerRun, RunsTheScriptOrSaysWhyNot) {
  TempDir dir;
  bench::PeerFigures f;
  std::string why;
  // The script sees the weights, the thread count and three repetitions.
  const std::string good = write_script(dir, "good.sh", "[ \"$2 $3\" = '3 3' ] || exit 9\nprintf '" + kOutput + "'\n");
  ASSERT_TRUE(bench::run_peer(good, "/no/weights.bin", 3, &f, &why)) << why;
  EXPECT_DOUBLE_EQ(f.prefill_128_tps, 20.5);

  EXPECT_FALSE(bench::run_peer(dir.file("missing.sh"), "w", 2, &f, &why));
  EXPECT_NE(why.find("no runnable peer script"), std::string::npos) << why;
  const std::string failing = write_script(dir, "failing.sh", "echo installing\necho 'peer_run: needs node and npm' >&2\nexit 2\n");
  EXPECT_FALSE(bench::run_peer(failing, "w", 2, &f, &why));
  EXPECT_NE(why.find("failed (exit 2): peer_run: needs node and npm"), std::string::npos) << why;
  const std::string silent = write_script(dir, "silent.sh", "echo 'ids 1 2'\n");
  EXPECT_FALSE(bench::run_peer(silent, "w", 2, &f, &why));
  EXPECT_NE(why.find("printed no figures: ids 1 2"), std::string::npos) << why;
}

}  // namespace
