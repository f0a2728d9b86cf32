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
