#include "tests/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> EnvironmentWith(const std::vector<std::string>& extra) {
  std::vector<std::string> env;
  auto overridden = [&extra](std::string_view item) {
    std::string_view name = item.substr(0, item.find('=') + 1);
    return std::any_of(extra.begin(), extra.end(),
                       [name](const std::string& given) { return given.starts_with(name); });
  };
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string_view item = *entry;
    if (item.starts_with("LANG=") || item.starts_with("LC_") || item.starts_with("LANGUAGE=")) continue;
    if (overridden(item)) continue;
    env.emplace_back(item);
  }
  env.insert(env.end(), extra.begin(), extra.end());
  return env;
}

std::vector<char*> Pointers(std::vector<std::string>& words) {
  std::vector<char*> pointers;
  pointers.reserve(words.size() + 1);
  for (std::string& word : words) pointers.push_back(word.data());
  pointers.push_back(nullptr);
  return pointers;
}

// Starts the program with standard output (and error, when err_fd is given) on pipes.
pid_t Spawn(std::vector<std::string> argv, std::vector<std::string> env, int& out_fd, int* err_fd) {
  int out[2];
  int err[2] = {-1, -1};
  if (::pipe2(out, O_CLOEXEC) != 0 || (err_fd != nullptr && ::pipe2(err, O_CLOEXEC) != 0)) {
    throw std::runtime_error("pipe failed");
  }
  std::vector<char*> args = Pointers(argv);
  std::vector<char*> envp = Pointers(env);
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out[1], 1);
    if (err_fd != nullptr) ::dup2(err[1], 2);
    int null = ::open("/dev/null", O_RDONLY);
    ::dup2(null, 0);
    ::execve(args[0], args.data(), envp.data());
    ::_exit(127);
  }
  ::close(out[1]);
  out_fd = out[0];
  if (err_fd != nullptr) {
    ::close(err[1]);
    *err_fd = err[0];
  }
  return pid;
}

}  // namespace

ProcessResult RunProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                         double limit_seconds) {
  ProcessResult result;
  int out_fd = -1;
  int err_fd = -1;
  auto start = Clock::now();
  auto deadline = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(limit_seconds));
  pid_t pid = Spawn(argv, EnvironmentWith(env), out_fd, &err_fd);
  pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  for (pollfd& entry : fds) ::fcntl(entry.fd, F_SETFL, O_NONBLOCK);
  auto drain = [&](int k) {
    char buffer[4096];
    for (;;) {
      ssize_t got = ::read(fds[k].fd, buffer, sizeof buffer);
      if (got > 0) {
        sinks[k]->append(buffer, static_cast<std::size_t>(got));
        continue;
      }
      if (got == 0) {
        ::close(fds[k].fd);
        fds[k].fd = -1;
      }
      return;
    }
  };
  int wait_status = 0;
  bool exited = false;
  // Until the program exits; a helper it left behind (such as a Wine server) may hold
  // the pipes open for longer, and is not waited for.
  while (!exited) {
    if (Clock::now() >= deadline) {
      result.timed_out = true;
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &wait_status, 0);
      break;
    }
    ::poll(fds, 2, 20);
    for (int k = 0; k < 2; ++k) {
      if (fds[k].fd >= 0) drain(k);
    }
    exited = ::waitpid(pid, &wait_status, WNOHANG) == pid;
  }
  for (int k = 0; k < 2; ++k) {
    if (fds[k].fd >= 0) {
      drain(k);
      if (fds[k].fd >= 0) ::close(fds[k].fd);
    }
  }
  result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  result.status = !result.timed_out && WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
  return result;
}

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& argv) {
  pid = Spawn(argv, EnvironmentWith({}), out_fd, nullptr);
}

BackgroundProcess::~BackgroundProcess() {
  if (pid > 0) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
  ::close(out_fd);
}

std::string BackgroundProcess::Stop(int signal, double limit_seconds) {
  ::kill(pid, signal);
  auto deadline =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(limit_seconds));
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd entry{out_fd, POLLIN, 0};
    if (left <= 0 || ::poll(&entry, 1, static_cast<int>(left)) <= 0) {
      ::kill(pid, SIGKILL);
      break;
    }
    char buffer[4096];
    ssize_t got = ::read(out_fd, buffer, sizeof buffer);
    if (got <= 0) break;
    pending.append(buffer, static_cast<std::size_t>(got));
  }
  ::waitpid(pid, nullptr, 0);
  pid = -1;
  return std::exchange(pending, {});
}

std::string BackgroundProcess::ReadLine(double limit_seconds) {
  auto deadline =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(limit_seconds));
  for (;;) {
    std::size_t end = pending.find('\n');
    if (end != std::string::npos) {
      std::string line = pending.substr(0, end);
      pending.erase(0, end + 1);
      return line;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd entry{out_fd, POLLIN, 0};
    if (left <= 0 || ::poll(&entry, 1, static_cast<int>(left)) <= 0) return {};
    char buffer[4096];
    ssize_t got = ::read(out_fd, buffer, sizeof buffer);
    if (got <= 0) return {};
    pending.append(buffer, static_cast<std::size_t>(got));
  }
}

bool InCi() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && std::string(ci) == "true";
}
