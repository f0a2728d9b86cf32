// Runs a program as a child process and captures its standard output as bytes.
#pragma once

#include <functional>
#include <string>
#include <vector>

struct RunResult {
  std::string out;   // standard output, byte for byte
  std::string err;   // standard error
  int status = -1;   // exit status, or 128 + signal number when killed by a signal
};

// Needs: argv[0] is the program path. Runs it in directory cwd with the given arguments
// (no shell involved) and waits for it. Optional `as_user` runs it through runuser as that
// user (the test must run as root for that). Optional `stop_after`: once standard output
// contains it, the child is killed (status 128 + 9) instead of being waited for to the end.
RunResult run_binary(const std::vector<std::string>& argv, const std::string& cwd,
                     const std::string& as_user = "", const std::string& stop_after = "");

// As run_binary, but once standard output contains `marker`, calls `act` once (while the child
// runs on) and then waits for the child to end.
RunResult run_binary_acting(const std::vector<std::string>& argv, const std::string& cwd, const std::string& marker,
                            const std::function<void()>& act);
