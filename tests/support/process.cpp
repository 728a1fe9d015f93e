#include "tests/support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

namespace testsupport {

std::string bin_dir() { return PATHVANE_BIN_DIR; }
std::string source_dir() { return PATHVANE_SOURCE_DIR; }

void terminate_child(int pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  int status = 0;
  for (int i = 0; i < 100 && waitpid(pid, &status, WNOHANG) == 0; ++i) usleep(20 * 1000);
  if (waitpid(pid, &status, WNOHANG) == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

namespace {

// A started child and the read ends of its standard output and error.
struct Child {
  pid_t pid = -1;
  int out = -1;
  int err = -1;
};

// The parent's ends are close-on-exec, so a child started later does not
// hold the pipes of one started before it.
Child spawn(const ProcessSpec& spec, ProcessResult& result) {
  Child child;
  int out_pipe[2], err_pipe[2], in_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0 || pipe2(in_pipe, O_CLOEXEC) != 0) {
    return child;
  }
  pid_t pid = fork();
  if (pid < 0) return child;
  if (pid == 0) {
    // dup2 leaves the copies open across exec.
    dup2(in_pipe[0], 0);
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    for (const auto& [name, value] : spec.env) {
      if (value.empty()) {
        unsetenv(name.c_str());
      } else {
        setenv(name.c_str(), value.c_str(), 1);
      }
    }
    if (!spec.cwd.empty() && chdir(spec.cwd.c_str()) != 0) _exit(126);
    std::vector<char*> args;
    for (const auto& a : spec.argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(out_pipe[1]);
  close(err_pipe[1]);
  close(in_pipe[0]);
  // Small inputs only: the pipe buffer holds them without a reader.
  if (!spec.input.empty() && write(in_pipe[1], spec.input.data(), spec.input.size()) < 0) result.exit_code = -1;
  close(in_pipe[1]);
  child.pid = pid;
  child.out = out_pipe[0];
  child.err = err_pipe[0];
  return child;
}

}  // namespace

ProcessResult run_process(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                          const std::string& cwd, int timeout_seconds, const std::string& input) {
  return run_processes({{argv, env, cwd, input}}, timeout_seconds)[0];
}

std::vector<ProcessResult> run_processes(const std::vector<ProcessSpec>& specs, int timeout_seconds) {
  std::vector<ProcessResult> results(specs.size());
  std::vector<Child> children;
  std::vector<pollfd> fds;
  std::vector<size_t> owner;  // the child of each entry of fds
  std::vector<std::string*> sinks;
  for (size_t i = 0; i < specs.size(); ++i) {
    children.push_back(spawn(specs[i], results[i]));
    if (children.back().pid < 0) continue;
    fds.push_back({children.back().out, POLLIN, 0});
    fds.push_back({children.back().err, POLLIN, 0});
    owner.insert(owner.end(), {i, i});
    sinks.insert(sinks.end(), {&results[i].out, &results[i].err});
  }
  size_t open_fds = fds.size();
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
  while (open_fds > 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      for (size_t j = 0; j < fds.size(); ++j) {
        if (fds[j].fd < 0 || results[owner[j]].timed_out) continue;
        results[owner[j]].timed_out = true;
        kill(children[owner[j]].pid, SIGKILL);
      }
      break;
    }
    if (poll(fds.data(), fds.size(), static_cast<int>(left.count())) < 0) break;
    for (size_t j = 0; j < fds.size(); ++j) {
      if (fds[j].fd < 0 || !(fds[j].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buf[4096];
      ssize_t n = read(fds[j].fd, buf, sizeof(buf));
      if (n > 0) {
        sinks[j]->append(buf, static_cast<size_t>(n));
      } else {
        close(fds[j].fd);
        fds[j].fd = -1;
        --open_fds;
      }
    }
  }
  for (auto& fd : fds) {
    if (fd.fd >= 0) close(fd.fd);
  }
  for (size_t i = 0; i < children.size(); ++i) {
    if (children[i].pid < 0) continue;
    int status = 0;
    struct rusage usage {};
    wait4(children[i].pid, &status, 0, &usage);
    results[i].max_rss_kb = usage.ru_maxrss;
    if (WIFEXITED(status)) results[i].exit_code = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) results[i].term_signal = WTERMSIG(status);
  }
  return results;
}

}  // namespace testsupport
