#include "tests/windows/win_run.h"

#include <windows.h>

#include <filesystem>

namespace {
// Appends arg to cmd quoted for CommandLineToArgvW: backslashes are literal except before a
// quote, where each is doubled, and a quote is escaped by one more backslash.
void append_quoted(std::wstring* cmd, const std::wstring& arg) {
  cmd->push_back(L'"');
  size_t slashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      slashes++;
      continue;
    }
    cmd->append(c == L'"' ? 2 * slashes + 1 : slashes, L'\\');
    slashes = 0;
    cmd->push_back(c);
  }
  cmd->append(2 * slashes, L'\\');
  cmd->push_back(L'"');
}

std::string read_all(const std::wstring& path) {
  std::string data;
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return data;
  char buf[65536];
  DWORD got = 0;
  while (ReadFile(h, buf, sizeof buf, &got, nullptr) && got > 0) data.append(buf, got);
  CloseHandle(h);
  return data;
}
}  // namespace

WinTempDir::WinTempDir() {
  wchar_t base[MAX_PATH];
  GetTempPathW(MAX_PATH, base);
  static unsigned counter = 0;
  for (;;) {
    path = std::wstring(base) + L"korvane-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
           std::to_wstring(counter++);
    if (CreateDirectoryW(path.c_str(), nullptr)) break;
    if (GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
}

WinTempDir::~WinTempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(std::filesystem::path(path), ignored);
}

WinRunResult run_program(const std::wstring& exe, const std::vector<std::wstring>& args, const std::wstring& cwd) {
  std::wstring cmd;
  append_quoted(&cmd, exe);
  for (const std::wstring& a : args) {
    cmd.push_back(L' ');
    append_quoted(&cmd, a);
  }
  WinTempDir capture;
  const std::wstring out_path = capture.file(L"stdout.bin");
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE out = CreateFileW(out_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  HANDLE in = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = in;
  si.hStdOutput = out;
  si.hStdError = out;
  PROCESS_INFORMATION pi{};
  WinRunResult result{"", 0xFFFFFFFFul};
  std::vector<wchar_t> cmd_buf(cmd.begin(), cmd.end());
  cmd_buf.push_back(L'\0');
  const bool started = CreateProcessW(exe.c_str(), cmd_buf.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                                      cwd.c_str(), &si, &pi);
  const DWORD start_error = started ? 0 : GetLastError();
  if (started) {
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    result.status = code;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
  }
  CloseHandle(out);
  if (in != INVALID_HANDLE_VALUE) CloseHandle(in);
  result.out = read_all(out_path);
  // A program that never started leaves no output; the reason goes where a test shows it.
  if (!started) result.out = "<not started: error " + std::to_string(start_error) + ">";
  return result;
}

std::wstring windows_path(const std::string& unix_path) {
  // Wine shows the Linux file system as drive Z:.
  std::wstring w = to_wide(unix_path);
  if (!w.empty() && w[0] == L'/') w = L"Z:" + w;
  for (wchar_t& c : w)
    if (c == L'/') c = L'\\';
  return w;
}

std::string to_utf8(const std::wstring& w) {
  if (w.empty()) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
  std::string s(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr, nullptr);
  return s;
}

std::wstring to_wide(const std::string& s) {
  if (s.empty()) return {};
  int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

void write_zero_file(const std::wstring& path, unsigned long long size) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return;
  LARGE_INTEGER at;
  at.QuadPart = static_cast<LONGLONG>(size);
  SetFilePointerEx(h, at, nullptr, FILE_BEGIN);
  SetEndOfFile(h);
  CloseHandle(h);
}
