// korvane-lab's command line: the dispatch, its usage errors, and export-probe's output file.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "probe/probe_file.h"
#include "tests/support/run_binary.h"
#include "tests/support/temp_dir.h"

TEST(LabCli, CommandsUsageErrorsAndTheExportedFile) {
  TempDir dir;
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string err;  // standard error exactly
  };
  const Case cases[] = {
      {{}, 2, "korvane-lab: no command given (korvane-lab --help lists them)\n"},
      {{"train"}, 2, "korvane-lab: unknown command \"train\" (korvane-lab --help lists them)\n"},
      {{"export-probe"}, 2, "korvane-lab: export-probe takes one argument, the output file\n"},
      {{"export-probe", dir.path}, 1, "korvane-lab: " + dir.path + " is a directory\n"},
      {{"export-probe", dir.file("none/p.safetensors")}, 1,
       "korvane-lab: cannot create a file beside " + dir.file("none/p.safetensors") + ": No such file or directory\n"},
      {{"--help"}, 0, ""},
  };
  for (const Case& c : cases) {
    std::vector<std::string> argv = {KORVANE_LAB_BINARY};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const RunResult r = run_binary(argv, dir.path);
    EXPECT_EQ(r.status, c.status) << argv.back();
    EXPECT_EQ(r.err, c.err) << argv.back();
  }
  EXPECT_NE(run_binary({KORVANE_LAB_BINARY, "--help"}, dir.path).out.find("export-probe OUT"), std::string::npos);

  // An existing file is replaced by the whole probe, and nothing else is left in the folder.
  const std::string out = dir.file("p.safetensors");
  std::ofstream(out) << "old";
  ASSERT_EQ(run_binary({KORVANE_LAB_BINARY, "export-probe", out}, dir.path).status, 0);
  Probe p;
  ASSERT_EQ(read_probe_file(out.c_str(), &p), "");
  EXPECT_EQ(p.axes, 4);
  EXPECT_STREQ(p.labels[3], "Domain (D)");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path), std::filesystem::directory_iterator()), 1);
}

TEST(LabCli, DataFilesAreRefusedWithTheLineAndTheReasonBeforeAnyWeights) {
  TempDir dir;
  struct Case {
    const char* command;
    std::string data;
    std::string reason;  // what standard error holds after "korvane-lab: "
  };
  const std::string f = dir.file("d.jsonl");
  const std::string two = R"({"prompt": "a", "labels": {"x": 0}})" "\n" R"({"prompt": "b", "labels": {"x": 1}})" "\n";
  const Case cases[] = {
      {"train-probe", "", f + " holds no data lines"},
      {"train-probe", "\n{\"prompt\": 1}\n", f + " line 2: no \"prompt\" string"},
      {"train-probe", "[1]\n", f + " line 1: the line is not a JSON object"},
      {"train-probe", "{\"prompt\": \"a\"}\n", f + " line 1: no \"labels\" object"},
      {"train-probe", "{\"prompt\": \"a\", \"labels\": {\"x\": 2}}\n", f + " line 1: the label of \"x\" is not 0 or 1"},
      {"train-probe", "{\"prompt\": \"\", \"labels\": {\"x\": 1}}\n", f + " line 1: the \"prompt\" is refused: the prompt is empty"},
      {"train-probe", "{\"prompt\": \"a\", \"labels\": {\"hash\": 1}}\n", "the labels cannot name a probe's axes: the axis \"hash\" would clash with the records' field of that name"},
      {"train-probe", two, "the axis \"x\" needs at least 2 prompts labelled 0 and 2 labelled 1; it has 1 and 1"},
      {"make-vector", "{\"positive\": \"a\"}\n", f + " line 1: no \"negative\" string"},
  };
  for (const Case& c : cases) {
    std::ofstream(f, std::ios::binary) << c.data;
    const RunResult r = run_binary({KORVANE_LAB_BINARY, c.command, "--data", f, "-o", dir.file("out"), "-m", dir.file("none")}, dir.path);
    EXPECT_EQ(r.status, 1) << c.data;
    EXPECT_EQ(r.err, "korvane-lab: " + c.reason + "\n") << c.data;
  }
  EXPECT_EQ(run_binary({KORVANE_LAB_BINARY, "train-probe", "--data", f}, dir.path).err, "korvane-lab: -o FILE is required\n");
  EXPECT_EQ(run_binary({KORVANE_LAB_BINARY, "make-vector", "--json", "x"}, dir.path).status, 2);  // not make-vector's flag
  // A weights file that cannot be opened: one line, status 1, no output file.
  std::ofstream(f, std::ios::binary) << R"({"positive": "a", "negative": "b"})" "\n";
  const RunResult r = run_binary({KORVANE_LAB_BINARY, "make-vector", "--data", f, "-o", dir.file("out"), "-m", dir.file("none")}, dir.path);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "korvane-lab: cannot open the weights file " + dir.file("none") + ": No such file or directory\n");
  EXPECT_FALSE(std::filesystem::exists(dir.file("out")));
}
