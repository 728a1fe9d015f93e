#include "tests/support/terminal.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace testsupport {

TerminalRun run_on_terminal(const std::vector<std::string>& argv, const std::string& cwd) {
  TerminalRun result;
  int master = -1, slave = -1;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
    ADD_FAILURE() << "openpty: " << std::strerror(errno);
    return result;
  }
  termios mode{};
  tcgetattr(slave, &mode);
  cfmakeraw(&mode);
  tcsetattr(slave, TCSANOW, &mode);
  int out_pipe[2];
  if (pipe(out_pipe) != 0) {
    ADD_FAILURE() << "pipe";
    return result;
  }
  pid_t pid = fork();
  if (pid == 0) {
    if (chdir(cwd.c_str()) != 0) _exit(126);
    dup2(out_pipe[1], STDOUT_FILENO);
    dup2(slave, STDERR_FILENO);
    int null_in = open("/dev/null", O_RDONLY);
    dup2(null_in, STDIN_FILENO);
    close(master);
    close(out_pipe[0]);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(slave);
  close(out_pipe[1]);
  pollfd fds[2] = {{master, POLLIN, 0}, {out_pipe[0], POLLIN, 0}};
  bool open_fds[2] = {true, true};
  while (open_fds[0] || open_fds[1]) {
    if (poll(fds, 2, 60000) <= 0) {
      ADD_FAILURE() << "the tool did not finish";
      kill(pid, SIGKILL);
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (!open_fds[i] || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buffer[4096];
      ssize_t n = read(fds[i].fd, buffer, sizeof(buffer));
      if (n <= 0) {
        open_fds[i] = false;
        fds[i].fd = -1;
        continue;
      }
      (i == 0 ? result.terminal : result.out).append(buffer, static_cast<size_t>(n));
    }
  }
  close(master);
  close(out_pipe[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

}  // namespace testsupport
