#include "tools/convert/path_checks.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

const char* file_kind_name(mode_t mode) {
  if (S_ISREG(mode)) return "a regular file";
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  return "of an unknown kind";
}

bool check_input_kind(const std::string& path, std::string* err) {
  struct stat st {};
  if (path.empty()) {
    *err = "the input path is empty";
    return false;
  }
  if (stat(path.c_str(), &st) != 0) {
    *err = path + ": " + strerror(errno);
    return false;
  }
  if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
    *err = path + ": is " + file_kind_name(st.st_mode) + ", not a checkpoint file or folder";
    return false;
  }
  return true;
}

bool check_output_kind(const std::string& path, std::string* err) {
  struct stat st {};
  if (path.empty()) {
    *err = "the output path is empty";
    return false;
  }
  if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    *err = path + ": the output exists and is " + std::string(file_kind_name(st.st_mode)) +
           "; only a regular file is replaced";
    return false;
  }
  return true;
}

bool check_output_not_input(const std::string& out, const std::vector<std::string>& inputs, std::string* err) {
  struct stat o {};
  if (stat(out.c_str(), &o) != 0) return true;  // nothing there yet: cannot be an input
  for (const std::string& in : inputs) {
    struct stat i {};
    if (stat(in.c_str(), &i) == 0 && i.st_dev == o.st_dev && i.st_ino == o.st_ino) {
      *err = out + ": the output is the input file " + in + "; name another output";
      return false;
    }
  }
  return true;
}
