// The logit lens through the real program: its last row is the model's own next-token ranking.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <string>

#include <nlohmann/json.hpp>

#include "tests/support/korvane_runs.h"
#include "tests/support/synthetic_weights.h"

TEST(LensE2E, LastRowIsTheFirstAnswerTokensRanking) {
  for (const char* mode : {"", "--splice-substitute"}) {
    const std::string json = testing::TempDir() + "/lens.jsonl";
    std::vector<std::string> args = {"--lens", "5", "--json", json, "hi"};
    if (*mode) args.insert(args.begin(), mode);
    const RunResult run = korvane_run(synthetic_weights_path(), args);
    ASSERT_EQ(run.status, 0) << run.err;
    std::ifstream in(json);
    std::string line;
    std::getline(in, line);
    const nlohmann::json r = nlohmann::json::parse(line);
    ASSERT_EQ(r["lens"].size(), 18u) << mode;
    const nlohmann::json& last = r["lens"][17];
    EXPECT_EQ(last["ids"].size(), 5u);
    EXPECT_EQ(last["ids"][0], r["answer"]["ids"][0]) << mode;
    EXPECT_EQ(last["logits"][0], r["answer"]["logits"][0]) << mode;
    // The console: 18 rows of five tokens, each on one line, the last one led by the printed
    // first token and logit.
    const size_t table = run.out.find("[LOGIT LENS] Top-5");
    ASSERT_NE(table, std::string::npos) << run.out;
    const std::regex row(R"(\nLayer (\d\d)   (?:\| '[^\n]*' \(ID:\d+, [+-]\d+\.\d{4}\) ){4}\| '[^\n]*' \(ID:(\d+), ([+-]\d+\.\d{4})\)\n)");
    std::smatch m;
    std::string rest = run.out.substr(table);
    int rows = 0;
    while (std::regex_search(rest, m, row) && rows < 18) {
      EXPECT_EQ(std::stoi(m[1]), rows);
      rest = rest.substr(size_t(m.position(0) + m.length(0) - 1));
      rows++;
    }
    EXPECT_EQ(rows, 18) << mode;
    const std::regex top17(R"(\nLayer 17   \| '[^\n]*?' \(ID:(\d+), ([+-]\d+\.\d{4})\) \|)");
    ASSERT_TRUE(std::regex_search(run.out, m, top17));
    char expect[96];
    snprintf(expect, sizeof expect, "Token #01: ID = %-8s (Logit = %+8.4f)", m[1].str().c_str(), std::stod(m[2]));
    EXPECT_NE(run.out.find(expect), std::string::npos) << mode << " " << expect;
  }
}
