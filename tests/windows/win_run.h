// Helpers of the Windows tests: a scratch directory and a child process whose standard output
// is captured through a file, byte for byte.
#pragma once

#include <string>
#include <vector>

// A fresh directory under the system's temporary folder, removed with its contents afterwards.
struct WinTempDir {
  std::wstring path;  // without a trailing separator
  WinTempDir();
  ~WinTempDir();
  WinTempDir(const WinTempDir&) = delete;
  WinTempDir& operator=(const WinTempDir&) = delete;
  std::wstring file(const std::wstring& name) const { return path + L"\\" + name; }
};

struct WinRunResult {
  std::string out;         // standard output as written, "\r\n" line ends included
  unsigned long status;    // exit code
};

// Needs: a program path and its arguments (UTF-16). Quotes each argument the way
// CommandLineToArgvW reads it back, runs the program in cwd with standard output to a file
// and no console, waits for it, and returns the output and exit code.
WinRunResult run_program(const std::wstring& exe, const std::vector<std::wstring>& args, const std::wstring& cwd);

// The program path compiled into the tests (a Linux path of the build tree) as a Windows path.
std::wstring windows_path(const std::string& unix_path);

// UTF-16 text as UTF-8, and back.
std::string to_utf8(const std::wstring& w);
std::wstring to_wide(const std::string& s);

// Needs: a path. Creates (or replaces) the file with `size` bytes of zeros.
void write_zero_file(const std::wstring& path, unsigned long long size);
