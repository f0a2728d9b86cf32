// The Win32 platform layer, call by call: file lookup and the private copy-on-write view,
// pages and executable copies, threads with the address wait, the argument list, and the
// small queries.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>
#include <thread>

#include "platform/platform.h"
#include "tests/windows/win_run.h"

namespace {

// Needs: a path. Creates the file with the given bytes.
void write_bytes(const std::wstring& path, const std::string& bytes) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD put = 0;
  ASSERT_TRUE(WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr));
  CloseHandle(h);
}

std::string read_bytes(const std::wstring& path) {
  std::string data;
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) return "<unreadable>";
  char buf[4096];
  DWORD got = 0;
  while (ReadFile(h, buf, sizeof buf, &got, nullptr) && got > 0) data.append(buf, got);
  CloseHandle(h);
  return data;
}

std::string pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; i++) s[i] = static_cast<char>((i * 131 + 7) & 0xFF);
  return s;
}

TEST(PathExists, SeesFilesAndDirectoriesByTheirUtf8Names) {
  WinTempDir dir;
  write_bytes(dir.file(L"plain.bin"), "x");
  write_bytes(dir.file(L"\u53F0\u7063.bin"), "x");
  ASSERT_TRUE(CreateDirectoryW(dir.file(L"sub").c_str(), nullptr));
  EXPECT_TRUE(path_exists(to_utf8(dir.file(L"plain.bin")).c_str()));
  EXPECT_TRUE(path_exists(to_utf8(dir.file(L"\u53F0\u7063.bin")).c_str()));  // UTF-8 through the ANSI call
  EXPECT_TRUE(path_exists(to_utf8(dir.file(L"sub")).c_str()));
  EXPECT_FALSE(path_exists(to_utf8(dir.file(L"absent.bin")).c_str()));
  EXPECT_FALSE(path_exists(to_utf8(dir.file(L"\u53F0.bin")).c_str()));
}

TEST(MapFilePrivate, MapsTheWholeFileAndNeverWritesItBack) {
  WinTempDir dir;
  const std::wstring path = dir.file(L"\u53F0 weights.bin");
  const std::string bytes = pattern(3 * 4096 + 123);
  write_bytes(path, bytes);
  MappedFile m{};
  unsigned long error = 0;
  ASSERT_EQ(map_file_private(to_utf8(path).c_str(), &m, &error), MapStatus::ok);
  ASSERT_NE(m.base, nullptr);
  EXPECT_EQ(m.size, bytes.size());
  EXPECT_EQ(std::memcmp(m.base, bytes.data(), bytes.size()), 0);
  // The view is a private copy: a page written here changes nothing in the file.
  uint8_t* writable = const_cast<uint8_t*>(m.base);
  writable[5000] ^= 0xFF;
  EXPECT_EQ(m.base[5000], static_cast<uint8_t>(bytes[5000] ^ 0xFF));
  EXPECT_EQ(read_bytes(path), bytes);
  // Others may go on reading and writing the file while it is mapped.
  HANDLE other = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(other, INVALID_HANDLE_VALUE);
  if (other != INVALID_HANDLE_VALUE) CloseHandle(other);
}

TEST(MapFilePrivate, OpensAFileThatAnotherProcessHoldsOpenForWriting) {
  WinTempDir dir;
  const std::wstring path = dir.file(L"held.bin");
  write_bytes(path, pattern(100));
  HANDLE writer = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  MappedFile m{};
  unsigned long error = 0;
  EXPECT_EQ(map_file_private(to_utf8(path).c_str(), &m, &error), MapStatus::ok);
  EXPECT_EQ(m.size, 100u);
  CloseHandle(writer);
}

TEST(MapFilePrivate, OpensAReadOnlyFile) {
  WinTempDir dir;
  const std::wstring path = dir.file(L"readonly.bin");
  write_bytes(path, pattern(5000));
  ASSERT_TRUE(SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY));
  MappedFile m{};
  unsigned long error = 0;
  EXPECT_EQ(map_file_private(to_utf8(path).c_str(), &m, &error), MapStatus::ok);
  EXPECT_EQ(m.size, 5000u);
  EXPECT_EQ(m.base != nullptr && std::memcmp(m.base, pattern(5000).data(), 5000) == 0, true);
  SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST(MapFilePrivate, ReportsFailuresWithTheSystemErrorNumber) {
  WinTempDir dir;
  MappedFile m{};
  unsigned long error = 0;
  EXPECT_EQ(map_file_private(to_utf8(dir.file(L"absent.bin")).c_str(), &m, &error), MapStatus::open_failed);
  EXPECT_EQ(error, 2u);  // ERROR_FILE_NOT_FOUND
  EXPECT_EQ(m.base, nullptr);
  error = 0;
  EXPECT_EQ(map_file_private(to_utf8(dir.file(L"no\\such\\dir.bin")).c_str(), &m, &error), MapStatus::open_failed);
  EXPECT_EQ(error, 3u);  // ERROR_PATH_NOT_FOUND
  ASSERT_TRUE(CreateDirectoryW(dir.file(L"folder").c_str(), nullptr));
  error = 0;
  EXPECT_EQ(map_file_private(to_utf8(dir.file(L"folder")).c_str(), &m, &error), MapStatus::open_failed);
  EXPECT_EQ(error, 5u);  // ERROR_ACCESS_DENIED
}

TEST(MapFilePrivate, AnEmptyFileIsMappedAsNothing) {
  WinTempDir dir;
  write_bytes(dir.file(L"empty.bin"), "");
  MappedFile m{reinterpret_cast<const uint8_t*>(1), 7};
  unsigned long error = 0;
  EXPECT_EQ(map_file_private(to_utf8(dir.file(L"empty.bin")).c_str(), &m, &error), MapStatus::ok);
  EXPECT_EQ(m.base, nullptr);
  EXPECT_EQ(m.size, 0u);
}

TEST(Pages, AreCommittedZeroFilledAndReadWrite) {
  for (size_t size : {size_t(256), size_t(4096), size_t(37748736)}) {
    auto* p = static_cast<uint8_t*>(pages_alloc(size));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 4096, 0u);
    MEMORY_BASIC_INFORMATION info{};
    ASSERT_NE(VirtualQuery(p, &info, sizeof info), 0u);
    EXPECT_EQ(info.State, static_cast<DWORD>(MEM_COMMIT));
    EXPECT_EQ(info.Protect, static_cast<DWORD>(PAGE_READWRITE));
    EXPECT_GE(info.RegionSize, size);
    size_t nonzero = 0;
    for (size_t i = 0; i < size; i += 997) nonzero += p[i] != 0;
    EXPECT_EQ(nonzero + p[size - 1], 0u);
    p[size - 1] = 1;  // writable to the last byte
  }
}

TEST(ExecMemory, CopiesTheCodeAndMakesItReadExecute) {
  // mov eax, 0x2A; add eax, ecx; ret  -- returns its first argument plus 42.
  const uint8_t code[] = {0xB8, 0x2A, 0x00, 0x00, 0x00, 0x01, 0xC8, 0xC3};
  void* p = exec_memory_create(code, sizeof code, sizeof code + 4096);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(std::memcmp(p, code, sizeof code), 0);
  MEMORY_BASIC_INFORMATION info{};
  ASSERT_NE(VirtualQuery(p, &info, sizeof info), 0u);
  EXPECT_EQ(info.Protect, static_cast<DWORD>(PAGE_EXECUTE_READ));
  EXPECT_GE(info.RegionSize, sizeof code + 4096 - 4095);
  auto fn = reinterpret_cast<uint32_t (*)(uint32_t)>(p);
  EXPECT_EQ(fn(100), 142u);
  EXPECT_EQ(exec_memory_create(code, sizeof code, 4), nullptr);  // room smaller than the code
}

struct ThreadProbe {
  uint32_t started;  // set to 1 by the thread, then woken on
  uint32_t param_ok;
  DWORD thread_id;
};

uint32_t KV_ABI probe_thread(void* param) {
  auto* probe = static_cast<ThreadProbe*>(param);
  probe->param_ok = 1;
  probe->thread_id = GetCurrentThreadId();
  __atomic_store_n(&probe->started, 1u, __ATOMIC_RELEASE);
  address_wake_one(&probe->started);
  return 0;
}

TEST(Threads, StartAtTheRoutineWithTheParameterAndWakeAWaiter) {
  for (int round = 0; round < 20; round++) {
    ThreadProbe probe{};
    ASSERT_TRUE(thread_start(probe_thread, &probe));
    while (__atomic_load_n(&probe.started, __ATOMIC_ACQUIRE) == 0) address_wait(&probe.started, 0);
    EXPECT_EQ(probe.param_ok, 1u);
    EXPECT_NE(probe.thread_id, GetCurrentThreadId());
  }
}

TEST(Threads, AddressWaitReturnsAtOnceWhenTheValueDiffers) {
  uint32_t word = 5;
  address_wait(&word, 4);  // would block forever if it ignored the value
  address_wake_one(&word);  // nobody waits: nothing happens
  EXPECT_EQ(word, 5u);
}

TEST(Threads, AParkedWaiterIsWokenByAnotherThread) {
  uint32_t word = 0;
  uint32_t woken = 0;
  std::thread waiter([&] {
    while (__atomic_load_n(&word, __ATOMIC_ACQUIRE) == 0) address_wait(&word, 0);
    __atomic_store_n(&woken, 1u, __ATOMIC_RELEASE);
  });
  Sleep(20);
  __atomic_store_n(&word, 1u, __ATOMIC_RELEASE);
  address_wake_one(&word);
  waiter.join();
  EXPECT_EQ(woken, 1u);
}

TEST(Queries, HardwareThreadsMatchTheProcessAffinity) {
  DWORD_PTR mine = 0, system = 0;
  ASSERT_TRUE(GetProcessAffinityMask(GetCurrentProcess(), &mine, &system));
  EXPECT_EQ(hardware_threads(), static_cast<unsigned>(__builtin_popcountll(mine)));
  EXPECT_GE(hardware_threads(), 1u);
}

TEST(Queries, ProcessCpuTimeGrowsWithWork) {
  uint64_t before = process_cpu_micros();
  volatile uint64_t sink = 0;
  uint64_t after = before;
  // Work until the reading moves (the system counts in ticks of up to ~16 ms).
  for (int round = 0; round < 2000 && after == before; round++) {
    for (int i = 0; i < 1000000; i++) sink = sink + static_cast<uint64_t>(i);
    after = process_cpu_micros();
  }
  EXPECT_GT(after, before);
}

TEST(Queries, AlignedBlocksAreZeroedAndOn64ByteBoundaries) {
  for (size_t size : {size_t(1), size_t(8192), size_t(1024000), size_t(1048576)}) {
    auto* p = static_cast<uint8_t*>(aligned_alloc64(size));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 64, 0u);
    size_t nonzero = 0;
    for (size_t i = 0; i < size; i++) nonzero += p[i] != 0;
    EXPECT_EQ(nonzero, 0u);
  }
}

TEST(Args, TheProcessCommandLineAsUtf8) {
  ArgList list{};
  ASSERT_TRUE(args_acquire(&list, 0, nullptr));
  ASSERT_GE(list.count, 1);
  int wide_count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &wide_count);
  ASSERT_EQ(list.count, wide_count);
  char buf[1024];
  for (int i = 0; i < list.count; i++) {
    size_t n = args_get_utf8(&list, i, buf, sizeof buf);
    EXPECT_EQ(std::string(buf, n), to_utf8(wide[i]).substr(0, 1023)) << i;
    EXPECT_EQ(buf[n], '\0');
  }
  // A small buffer keeps a prefix and its terminator.
  size_t n = args_get_utf8(&list, 0, buf, 4);
  EXPECT_EQ(n, 3u);
  EXPECT_EQ(std::string(buf), to_utf8(wide[0]).substr(0, 3));
  LocalFree(wide);
  args_release(&list);
  EXPECT_EQ(list.count, 0);
  EXPECT_EQ(list.native, nullptr);
}

TEST(Console, SetupSucceedsWithoutAConsole) {
  // Under the test runner standard output is a pipe or a file: the code-page calls fail,
  // which is not an error.
  EXPECT_TRUE(console_setup());
}

}  // namespace
