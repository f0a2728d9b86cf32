// Prompt files as read, and records as written: what each line becomes, how numbers and
// bytes reach JSON, and what a resumed run keeps of an earlier file.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

#include <nlohmann/json.hpp>

#include "driver/prompt_file.h"
#include "reports/json_records.h"
#include "vocab/token_index.h"

TEST(PromptFile, PlainAndJsonLines) {
  const auto plain = parse_prompt_file("hi there\r\n\n  \t\nsecond\n" + std::string(4096, 'x') + "\n" +
                                       std::string("nul\0x\n", 6) + "{not json in a plain file\n\xFF bytes");
  ASSERT_EQ(plain.size(), 6u);
  EXPECT_EQ(plain[0].text, "hi there");
  EXPECT_EQ(plain[1].text, "second");
  EXPECT_EQ(plain[1].index, 1);
  EXPECT_EQ(plain[1].line, 4);
  EXPECT_NE(plain[2].error, "");  // over 4095 bytes
  EXPECT_EQ(parse_prompt_file(std::string(4095, 'x'))[0].error, "");
  EXPECT_NE(std::string(plain[3].error), "");  // a NUL
  EXPECT_EQ(plain[4].error, "");
  EXPECT_EQ(plain[5].error, "");  // not UTF-8 is a plain line's right, as on the command line

  const auto json = parse_prompt_file(
      " \n{\"prompt\":\"a\",\"id\":\"x\"}\n{\"prompt\":\"b\",\"id\":7}\n{\"prompt\":\"c\"\n[1]\n{\"id\":1}\n"
      "{\"prompt\":\"d\",\"id\":[1]}\n{\"prompt\":\"\"}\n{\"prompt\":\"\xFF\"}\n{\"prompt\":\"e\\u0000\"}\n");
  ASSERT_EQ(json.size(), 9u);
  EXPECT_EQ(json[0].text, "a");
  EXPECT_EQ(json[0].id, "x");
  EXPECT_EQ(json[0].line, 2);
  EXPECT_EQ(json[1].id, 7);
  EXPECT_EQ(json[1].error, "");
  for (size_t i = 2; i < json.size(); i++) EXPECT_NE(json[i].error, "") << i;
}

TEST(JsonRecords, NumbersBytesAndResume) {
  build_token_index();
  load_probe_tables();  // the rows' fields are the probe's axis names
  Telemetry t{};
  t.depths[0].reading = {0.1f, -1.0f / 3.0f, NAN, INFINITY};
  t.depths[0].hash = 0xABCDu;
  Answer a{};
  a.count = 1;
  a.tokens[0] = {108, 12.5f};
  PromptRecord r;
  r.prompt = "ok \x01 \xC3\x28";
  r.telemetry = &t;
  r.answer = &a;
  const std::string line = record_line(r, RunInfo{"1", "AVX2", 2, "w.bin", 5});
  EXPECT_EQ(line.find('\n'), std::string::npos);
  const nlohmann::json j = nlohmann::json::parse(line);
  const auto& row = j["telemetry"][0];
  EXPECT_EQ(row["truth"].get<float>(), 0.1f);  // 9 digits read back to the same f32
  EXPECT_EQ(row["safety"].get<float>(), -1.0f / 3.0f);
  EXPECT_TRUE(row["cert"].is_null());
  EXPECT_TRUE(row["domain"].is_null());
  EXPECT_EQ(row["hash"], "0x0000ABCD");
  EXPECT_EQ(j["telemetry"].size(), 18u);
  EXPECT_EQ(j["prompt"], "ok \x01 \xEF\xBF\xBD(");
  EXPECT_EQ(j["prompt_hex"], "6f6b200120c328");
  EXPECT_EQ(j["answer"]["texts"][0], "\n");
  EXPECT_EQ(j["answer"]["stop"], "eos");
  EXPECT_NE(line.find("\\u0001"), std::string::npos);

  const std::string kept_text = line + "\n" + "{\"index\":4}\n{\"index\":5,\"pro";
  const KeptRecords kept = kept_records(kept_text);
  EXPECT_EQ(kept.indexes, (std::set<int64_t>{0, 4}));
  EXPECT_EQ(kept.keep_bytes, line.size() + 13);
  EXPECT_EQ(kept.bad_line, 0);
  EXPECT_EQ(kept_records("{\"index\":1}\n{\"ind\n{\"index\":2}\n").bad_line, 2);
}
