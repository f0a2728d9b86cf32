#include <cstdio>
#include <filesystem>
#include <system_error>

#include <unistd.h>

#include "lab/lab_commands.h"
#include "probe/probe_file.h"
#include "probe/probe_tables.h"

std::string write_file_whole(const std::string& path, const std::string& bytes) {
  const std::filesystem::path target(path);
  std::error_code ec;
  if (std::filesystem::is_directory(target, ec)) return path + " is a directory";
  std::string hidden = ".";  // built in steps: g++ 12 warns falsely on one long concatenation here
  hidden += target.filename().string();
  hidden += ".partial-";
  hidden += std::to_string(getpid());
  const std::filesystem::path temp = target.parent_path() / hidden;
  FILE* f = fopen(temp.c_str(), "wb");
  if (!f) return "cannot create a file beside " + path + ": " + std::error_code(errno, std::generic_category()).message();
  const bool written = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  const bool closed = fclose(f) == 0;
  if (!written || !closed) {
    std::filesystem::remove(temp, ec);
    return "cannot write " + path;
  }
  std::filesystem::rename(temp, target, ec);
  if (ec) {
    std::error_code ignored;
    std::filesystem::remove(temp, ignored);
    return "cannot put the file in place as " + path + ": " + ec.message();
  }
  return "";
}

int export_probe_command(int argc, char** argv) {
  if (argc != 1) {
    fputs("korvane-lab: export-probe takes one argument, the output file\n", stderr);
    return 2;
  }
  load_probe_tables();
  const std::string why = write_file_whole(argv[0], probe_file_bytes(probe_in_use()));
  if (!why.empty()) {
    fprintf(stderr, "korvane-lab: %s\n", why.c_str());
    return 1;
  }
  printf("wrote %s: the embedded probe, %d axes, one table for every depth\n", argv[0], probe_axis_count());
  return 0;
}
