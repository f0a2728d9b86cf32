// korvane.exe as a Windows program: its arguments from the wide command line as UTF-8, the
// options, the weights lookup with its two paths, the fatal messages and exit status, the
// line ends it writes, and its manifest. No weights are read here: every run stops at step 3.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "tests/windows/win_run.h"

namespace {

const std::wstring& exe() {
  static const std::wstring path = windows_path(KORVANE_BINARY);
  return path;
}

// The text between the quotes of the "[*] Input Prompt" line, or "<missing>".
std::string prompt_of(const std::string& out) {
  const std::string head = "[*] Input Prompt    : \"";
  size_t at = out.find(head);
  if (at == std::string::npos) return "<missing>";
  at += head.size();
  size_t end = out.find("\"\r\n", at);
  return end == std::string::npos ? "<unterminated>" : out.substr(at, end - at);
}

// The "[*] Pipeline Profile" line without its line end, or "<missing>".
std::string profile_of(const std::string& out) {
  size_t at = out.find("[*] Pipeline Profile: ");
  if (at == std::string::npos) return "<missing>";
  return out.substr(at, out.find("\r\n", at) - at);
}

const std::string kDefaultPrompt = "\xE8\xAB\x8B\xE5\x95\x8F\xE5\x8F\xB0\xE7\x81\xA3\xE5\x8A\xA0\xE5\x80\xBC\xE5\x9E\x8B"
                                   "\xE7\x87\x9F\xE6\xA5\xAD\xE7\xA8\x85\xE6\xB3\x95\xE5\xAE\x9A\xE7\xA8\x85\xE7\x8E\x87"
                                   "\xE6\x98\xAF\xE5\xA4\x9A\xE5\xB0\x91\xEF\xBC\x9F";
const std::string kStandard = "[*] Pipeline Profile: Standard Baseline Forward Inference (Full Precision FP16)";
const std::string kAudit = "[*] Pipeline Profile: Causal Attention Head Knockout Audit (Layer 14)";
const std::string kMissingLines =
    "\xE2\x9D\x8C [FATAL] Model weight file not found: gemma2b_fp16.bin (Error Code: 2)\r\n"
    "[*] Please place official Google Gemma-2-2B-it FP16 weights ('gemma2b_fp16.bin') in this directory.\r\n";

std::string splice_profile(const char* beta) {
  return std::string("[*] Pipeline Profile: Dynamic Orthogonal State Splicing Active (beta = ") + beta + ")";
}

class Program : public ::testing::Test {
 protected:
  WinTempDir dir;
  WinRunResult run(const std::vector<std::wstring>& args) { return run_program(exe(), args, dir.path); }
};

TEST_F(Program, WordsFromTheWideCommandLineBecomeTheUtf8Prompt) {
  struct Case {
    std::vector<std::wstring> args;
    std::string prompt;
  } cases[] = {
      {{L"hello", L"\u53F0\u7063"}, "hello \xE5\x8F\xB0\xE7\x81\xA3"},
      {{L"a", L"", L"b"}, "a  b"},                         // an empty word still adds its space
      {{L"", L"b"}, "b"},                                  // an empty first word adds nothing
      {{L"a b", L"c\"d", L"e\\"}, "a b c\"d e\\"},         // spaces, quotes, a trailing backslash
      {{L"\U0001F600x"}, "\xF0\x9F\x98\x80x"},             // a surrogate pair: one 4-byte character
      {{L"caf\u00E9", L"\u0416"}, "caf\xC3\xA9 \xD0\x96"},  // two-byte characters
      {{L"a\xD800" L"b"}, "a\xEF\xBF\xBD" "b"},                // a lone surrogate: U+FFFD
      {{}, kDefaultPrompt},
      {{L""}, kDefaultPrompt},
  };
  for (const Case& c : cases) {
    WinRunResult r = run(c.args);
    EXPECT_EQ(prompt_of(r.out), c.prompt) << to_utf8(c.args.empty() ? L"" : c.args[0]);
    EXPECT_EQ(profile_of(r.out), kStandard);
    EXPECT_EQ(r.status, 1u);
  }
}

TEST_F(Program, OptionsAndBetaValues) {
  struct Case {
    std::vector<std::wstring> args;
    std::string profile, prompt;
  } cases[] = {
      {{L"--beta", L"2", L"--splice-substitute", L"x"}, splice_profile("2.00"), "x"},
      {{L"--splice-substitute"}, splice_profile("4.50"), kDefaultPrompt},
      {{L"--splice-substitute", L"--beta", L"0.125"}, splice_profile("0.12"), kDefaultPrompt},
      {{L"--splice-substitute", L"--beta", L"-3.5e1"}, splice_profile("-35.00"), kDefaultPrompt},
      {{L"--splice-substitute", L"--beta", L"\u53F0"}, splice_profile("0.00"), kDefaultPrompt},
      {{L"--beta", L"1", L"--beta", L"7.25", L"--splice-substitute"}, splice_profile("7.25"), kDefaultPrompt},
      {{L"--beta", L"--audit-heads"}, kStandard, kDefaultPrompt},  // the value is taken, not the option
      {{L"x", L"--beta"}, kStandard, "x --beta"},                  // last: a prompt word
      {{L"hello", L"--audit-heads", L"world"}, kAudit, "hello world"},
      {{L"--audit-heads", L"--splice-substitute"}, kAudit, kDefaultPrompt},
      {{L"--Audit-Heads"}, kStandard, "--Audit-Heads"},
  };
  for (const Case& c : cases) {
    WinRunResult r = run(c.args);
    EXPECT_EQ(profile_of(r.out), c.profile) << to_utf8(c.args[0]) << " " << c.args.size();
    EXPECT_EQ(prompt_of(r.out), c.prompt) << to_utf8(c.args[0]) << " " << c.args.size();
  }
}

TEST_F(Program, AnArgumentOverTheLimitIsCutAtAWholeCharacter) {
  // 400 three-byte characters are 1200 bytes; one argument holds 1023, so 341 characters stay.
  std::wstring long_word(400, L'\u53F0');
  std::string kept;
  for (int i = 0; i < 341; i++) kept += "\xE5\x8F\xB0";
  WinRunResult r = run({long_word});
  EXPECT_EQ(prompt_of(r.out), kept) << "status " << r.status << ", output: " << r.out.substr(0, 400);
  // A four-byte character across the cut is dropped whole: 1020 ASCII bytes, then one emoji.
  std::wstring mixed = std::wstring(1020, L'a') + L"\U0001F600" + L"b";
  r = run({mixed});
  // Once in CI this run printed no prompt line (not seen since); the status and output say why.
  EXPECT_EQ(prompt_of(r.out), std::string(1020, 'a')) << "status " << r.status << ", output: " << r.out.substr(0, 400);
}

TEST_F(Program, MissingWeightsAreFatalWithTheSystemErrorCode) {
  WinRunResult r = run({});
  EXPECT_EQ(r.status, 1u);
  const std::string tail = r.out.size() >= kMissingLines.size() ? r.out.substr(r.out.size() - kMissingLines.size()) : "";
  EXPECT_EQ(tail, kMissingLines);
  // Steps 1 and 2 completed before the failure; nothing after it.
  EXPECT_NE(r.out.find("\xE2\x9C\x94 [2/5] "), std::string::npos);
  EXPECT_EQ(r.out.find("\xE2\x9C\x94 [3/5] "), std::string::npos);
}

TEST_F(Program, EveryLineEndsWithCarriageReturnAndLineFeed) {
  // The C runtime writes standard output in text mode: each "\n" the program prints becomes
  // "\r\n". No bare "\n" and no doubled "\r".
  WinRunResult r = run({L"x"});
  ASSERT_FALSE(r.out.empty());
  size_t lines = 0;
  for (size_t i = 0; i < r.out.size(); i++) {
    if (r.out[i] == '\n') {
      lines++;
      ASSERT_TRUE(i > 0 && r.out[i - 1] == '\r') << "bare line feed at byte " << i;
      ASSERT_FALSE(i > 1 && r.out[i - 2] == '\r') << "doubled carriage return at byte " << i;
    }
  }
  EXPECT_GT(lines, 8u);
  EXPECT_EQ(r.out.substr(r.out.size() - 2), "\r\n");
}

TEST_F(Program, WeightsUnderKorvaneModelsAreFoundAndAShortFileIsRefused) {
  ASSERT_TRUE(CreateDirectoryW(dir.file(L"korvane").c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW(dir.file(L"korvane\\models").c_str(), nullptr));
  write_zero_file(dir.file(L"korvane\\models\\gemma2b_fp16.bin"), 4096);
  WinRunResult r = run({});
  EXPECT_EQ(r.status, 1u);
  EXPECT_NE(r.out.find("\xE2\x9D\x8C [FATAL] Model weight file is truncated: korvane\\models\\gemma2b_fp16.bin "
                       "(4096 bytes, expected at least 5012496384)\r\n"),
            std::string::npos)
      << r.out.substr(r.out.size() > 300 ? r.out.size() - 300 : 0);
  // The file in the current directory comes first, even when it is empty.
  write_zero_file(dir.file(L"gemma2b_fp16.bin"), 0);
  r = run({});
  EXPECT_NE(r.out.find("truncated: gemma2b_fp16.bin (0 bytes, "), std::string::npos);
  EXPECT_EQ(r.status, 1u);
}

TEST_F(Program, ADirectoryInPlaceOfTheWeightsFailsToOpen) {
  ASSERT_TRUE(CreateDirectoryW(dir.file(L"gemma2b_fp16.bin").c_str(), nullptr));
  WinRunResult r = run({});
  EXPECT_EQ(r.status, 1u);
  EXPECT_NE(r.out.find("Model weight file not found: gemma2b_fp16.bin (Error Code: 5)\r\n"), std::string::npos);
}

TEST_F(Program, ReadOnlyWeightsOpen) {
  // The file is opened for reading only, so the read-only attribute does not stop it. (Wine,
  // run as root, would not refuse a write open either; the attribute is checked to be set.)
  const std::wstring path = dir.file(L"gemma2b_fp16.bin");
  write_zero_file(path, 8192);
  ASSERT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY));
  ASSERT_NE(GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
  WinRunResult r = run({});
  EXPECT_NE(r.out.find("truncated: gemma2b_fp16.bin (8192 bytes, "), std::string::npos);
  EXPECT_EQ(r.out.find("not found"), std::string::npos);
  SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(Program, RunsFromADirectoryWithANonAsciiName) {
  const std::wstring sub = dir.file(L"\u53F0\u7063 models");
  ASSERT_TRUE(CreateDirectoryW(sub.c_str(), nullptr));
  write_zero_file(sub + L"\\gemma2b_fp16.bin", 100);
  WinRunResult r = run_program(exe(), {L"\u53F0"}, sub);
  EXPECT_NE(r.out.find("truncated: gemma2b_fp16.bin (100 bytes, "), std::string::npos);
  EXPECT_EQ(prompt_of(r.out), "\xE5\x8F\xB0");
}

TEST(ProgramFile, CarriesAManifestThatMakesTheAnsiCodePageUtf8) {
  HMODULE module = LoadLibraryExW(exe().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(module, nullptr);
  HRSRC res = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));  // RT_MANIFEST
  ASSERT_NE(res, nullptr);
  const char* text = static_cast<const char*>(LockResource(LoadResource(module, res)));
  std::string manifest(text, SizeofResource(module, res));
  EXPECT_NE(manifest.find("<activeCodePage xmlns=\"http://schemas.microsoft.com/SMI/2019/WindowsSettings\">UTF-8"
                          "</activeCodePage>"),
            std::string::npos);
  FreeLibrary(module);
  // This test program carries the same manifest: the system honours it.
  EXPECT_EQ(GetACP(), 65001u);
}

TEST(ProgramFile, NeedsNoDllsBesideIt) {
  // Every DLL the program imports is part of Windows; none of the compiler's runtime DLLs.
  HMODULE module = LoadLibraryExW(exe().c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
  ASSERT_NE(module, nullptr);
  auto* base = reinterpret_cast<const uint8_t*>(module);
  auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  ASSERT_NE(dir.VirtualAddress, 0u);
  std::vector<std::string> names;
  for (auto* d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); d->Name; d++) {
    std::string name = reinterpret_cast<const char*>(base + d->Name);
    for (char& ch : name) ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
    names.push_back(name);
  }
  FreeLibrary(module);
  const std::vector<std::string> allowed = {"kernel32.dll", "msvcrt.dll", "shell32.dll",
                                            "api-ms-win-core-synch-l1-2-0.dll", "ucrtbase.dll"};
  EXPECT_FALSE(names.empty());
  for (const std::string& n : names) {
    bool ok = false;
    for (const std::string& a : allowed) ok = ok || n == a || n.rfind("api-ms-win-crt-", 0) == 0;
    EXPECT_TRUE(ok) << n;
  }
}

}  // namespace
