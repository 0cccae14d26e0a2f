#include "tools/namespace_init.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>

#include "tools/supply_log.h"
#include "tools/supply_options.h"

namespace {

constexpr std::array<int, 7> kForwarded{SIGHUP, SIGINT, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGTERM};
constexpr std::array<int, 9> kChanged{SIGHUP, SIGINT, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGTERM, SIGPIPE, SIGCHLD};

// What supply-sim found when it started, for the command to start with.
sigset_t original_mask;
std::array<struct sigaction, kChanged.size()> original_actions;

// The init while it runs, for the signal handler; 0 once it is reaped, so that a late
// signal never reaches some other process that got its pid.
volatile sig_atomic_t init_pid = 0;

sigset_t Forwarded() {
  sigset_t set;
  (void)sigemptyset(&set);
  for (int signal : kForwarded) (void)sigaddset(&set, signal);
  return set;
}

// A signal the kernel sent to a whole process group (a terminal's Ctrl-C) reached `to`
// already, when it is still in the group.
bool GroupGotIt(const siginfo_t& info, pid_t to) { return info.si_code == SI_KERNEL && ::getpgid(to) == ::getpgrp(); }

void Forward(int signal, siginfo_t* info, void* /*context*/) {
  int saved = errno;
  pid_t pid = init_pid;
  if (pid > 0 && !GroupGotIt(*info, pid)) (void)::kill(pid, signal);
  errno = saved;
}

// Only system calls from here to the end of Init: the process forked from a threaded
// one, and locks the other threads held (malloc's among them) stay held in it.

void Say(const char* text) {
  ssize_t written = ::write(STDERR_FILENO, text, std::strlen(text));
  (void)written;  // nowhere left to say that it failed
}

void SayFailure(const char* what, int error) {
  Say(what);
  Say(strerrordesc_np(error));
  Say("\n");
}

[[noreturn]] void ExecCommand(char* const* argv, const char* cannot_run) {
  for (std::size_t k = 0; k < kChanged.size(); ++k) (void)::sigaction(kChanged[k], &original_actions[k], nullptr);
  (void)::sigprocmask(SIG_SETMASK, &original_mask, nullptr);
  ::execvp(argv[0], argv);
  int error = errno;
  SayFailure(cannot_run, error);
  ::_exit(error == ENOENT ? 127 : 126);
}

int StatusOf(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }

// The namespace's first process: starts the command, passes signals on to it, reaps
// whatever is handed to it, and ends as soon as the command has, taking the rest of the
// namespace with it.
int Init(char* const* argv, const char* cannot_run, int supply_sim_alive) {
  (void)::prctl(PR_SET_PDEATHSIG, SIGKILL);
  // Had supply-sim ended before that took hold, its end of the pipe is closed now.
  pollfd alive{supply_sim_alive, POLLIN, 0};
  if (::poll(&alive, 1, 0) != 0) return kUsbSetupFailed;
  // A /proc of the namespace's own, in a mount namespace of the init's own so that
  // supply-sim keeps its /proc.
  if (::unshare(CLONE_NEWNS) != 0 || ::mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0) {
    SayFailure("supply-sim: cannot mount /proc for the command: ", errno);
    return kUsbSetupFailed;
  }
  sigset_t waited = Forwarded();
  (void)sigaddset(&waited, SIGCHLD);
  (void)::sigprocmask(SIG_BLOCK, &waited, nullptr);
  pid_t command = ::fork();
  if (command < 0) {
    SayFailure(cannot_run, errno);
    return kUsbSetupFailed;
  }
  if (command == 0) ExecCommand(argv, cannot_run);
  for (;;) {
    siginfo_t info{};
    int signal = ::sigwaitinfo(&waited, &info);
    if (signal == SIGCHLD) {
      int status = 0;
      pid_t ended = 0;
      while ((ended = ::waitpid(-1, &status, WNOHANG)) > 0) {
        if (ended == command) return StatusOf(status);
      }
    } else if (signal > 0 && !GroupGotIt(info, command)) {
      (void)::kill(command, signal);
    }
  }
}

// Waits for the init to end, then reaps it with the signals held, so that the handler
// never sees its pid after that.
int WaitForInit(pid_t pid) {
  siginfo_t info{};
  while (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0) {
    if (errno != EINTR) Fail(std::string("cannot wait for the command: ") + std::strerror(errno));
  }
  sigset_t forwarded = Forwarded();
  sigset_t mask;
  (void)::pthread_sigmask(SIG_BLOCK, &forwarded, &mask);
  init_pid = 0;
  (void)::waitpid(pid, nullptr, 0);
  (void)::pthread_sigmask(SIG_SETMASK, &mask, nullptr);
  return info.si_code == CLD_EXITED ? info.si_status : 128 + info.si_status;
}

}  // namespace

void HoldSignals() {
  for (std::size_t k = 0; k < kChanged.size(); ++k) (void)::sigaction(kChanged[k], nullptr, &original_actions[k]);
  sigset_t forwarded = Forwarded();
  (void)::pthread_sigmask(SIG_BLOCK, &forwarded, &original_mask);
  (void)std::signal(SIGPIPE, SIG_IGN);
}

int RunUnderInit(const std::vector<std::string>& command) {
  // Everything the init and the command need is made before the fork.
  std::vector<std::string> words = command;
  std::vector<char*> argv;
  argv.reserve(words.size() + 1);
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  std::string cannot_run = "supply-sim: cannot run " + command[0] + ": ";
  int alive[2];
  if (::pipe2(alive, O_CLOEXEC) != 0) Fail(std::string("cannot make a pipe: ") + std::strerror(errno));
  // Only now: once it is made, no thread can start in this process.
  if (::unshare(CLONE_NEWPID) != 0) Fail(std::string("cannot make a PID namespace: ") + std::strerror(errno));
  struct sigaction forward {};
  forward.sa_sigaction = Forward;
  forward.sa_flags = SA_SIGINFO;  // no SA_RESTART: the wait below goes round again itself
  (void)sigfillset(&forward.sa_mask);
  for (int signal : kForwarded) (void)::sigaction(signal, &forward, nullptr);
  pid_t pid = ::fork();
  if (pid < 0) Fail("cannot start " + command[0] + ": " + std::strerror(errno));
  if (pid == 0) {
    (void)::close(alive[1]);
    ::_exit(Init(argv.data(), cannot_run.c_str(), alive[0]));
  }
  (void)::close(alive[0]);
  init_pid = pid;
  // Signals held until now go on to the command from here.
  (void)::pthread_sigmask(SIG_SETMASK, &original_mask, nullptr);
  return WaitForInit(pid);
}
