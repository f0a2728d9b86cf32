// A fresh temporary directory for one test, removed with everything in it afterwards.
#pragma once

#include <string>

struct TempDir {
  std::string path;
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  // path + "/" + name
  std::string file(const std::string& name) const;
};
