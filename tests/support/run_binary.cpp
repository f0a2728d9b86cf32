#include "tests/support/run_binary.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <stdexcept>

namespace {
// Reads both pipes to their end; once standard output contains `marker` (when not empty),
// calls `on_marker` once.
void drain(int out_fd, int err_fd, RunResult* r, const std::string& marker, const std::function<void()>& on_marker) {
  bool seen = false;
  pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
  int open_count = 2;
  char buf[65536];
  while (open_count > 0) {
    if (poll(fds, 2, -1) < 0) continue;
    for (int i = 0; i < 2; i++) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        (i == 0 ? r->out : r->err).append(buf, static_cast<size_t>(n));
        if (!seen && !marker.empty() && r->out.find(marker) != std::string::npos) {
          seen = true;
          on_marker();
        }
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        open_count--;
      }
    }
  }
}
}  // namespace

namespace {
RunResult run_child(const std::vector<std::string>& argv_in, const std::string& cwd, const std::string& as_user,
                    const std::string& marker, const std::function<void(pid_t)>& on_marker) {
  std::vector<std::string> args;
  if (!as_user.empty()) args = {"/usr/sbin/runuser", "-u", as_user, "--"};
  args.insert(args.end(), argv_in.begin(), argv_in.end());
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  int out_pipe[2], err_pipe[2];
  if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) throw std::runtime_error("pipe failed");
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    setpgid(0, 0);  // a group of its own, so that a stop reaches every process it starts
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    close(out_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[0]);
    close(err_pipe[1]);
    if (chdir(cwd.c_str()) != 0) _exit(126);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  RunResult r;
  drain(out_pipe[0], err_pipe[0], &r, marker, [&] { on_marker(pid); });
  int status = 0;
  waitpid(pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return r;
}
}  // namespace

RunResult run_binary(const std::vector<std::string>& argv, const std::string& cwd, const std::string& as_user,
                     const std::string& stop_after) {
  // The whole group (runuser's child too); the pipes close with it.
  return run_child(argv, cwd, as_user, stop_after, [](pid_t child) { kill(-child, SIGKILL); });
}

RunResult run_binary_acting(const std::vector<std::string>& argv, const std::string& cwd, const std::string& marker,
                            const std::function<void()>& act) {
  return run_child(argv, cwd, "", marker, [&](pid_t) { act(); });
}
