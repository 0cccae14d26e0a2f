#include "tools/namespace_init.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>

#include "tools/supply_log.h"
#include "tools/supply_options.h"

namespace {

constexpr std::array<int, 7> kForwarded{SIGHUP, SIGINT, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGTERM};
// How far apart the copies of one send may arrive: timeout(1), for one, signals
// supply-sim and then the group, and supply-sim may take the two as one or as two.
constexpr auto kOneSend = std::chrono::milliseconds(100);
// Every disposition supply-sim sets, and so gives back to the command: a handler for
// each forwarded signal, SIGPIPE ignored (a log whose reader has gone is counted, not
// fatal), and SIGCHLD at its default, since an inherited SIG_IGN would have the kernel
// reap the init and the command unseen and leave their waits without an end.
constexpr std::array<int, 9> kChanged{SIGHUP, SIGINT, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGTERM, SIGPIPE, SIGCHLD};

// What supply-sim found when it started, for the command to start with.
sigset_t original_mask;
std::array<struct sigaction, kChanged.size()> original_actions;

// Where the handler tells the init which signal reached supply-sim; -1 before the init
// starts. Once the init has gone a write fails (EPIPE), so a late signal goes nowhere.
volatile sig_atomic_t to_init = -1;

sigset_t Forwarded() {
  sigset_t set;
  (void)sigemptyset(&set);
  for (int signal : kForwarded) (void)sigaddset(&set, signal);
  return set;
}

void TellInit(int signal) {
  int saved = errno;
  auto number = static_cast<unsigned char>(signal);
  ssize_t written = ::write(to_init, &number, 1);
  (void)written;  // a full pipe holds plenty of the same signal already
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

// When the group's copy of each signal last reached the init.
std::array<std::chrono::steady_clock::time_point, NSIG> group_copy_taken{};

// A signal that reached supply-sim, passed on to the command unless it was sent to the
// whole process group: then the init, which holds these signals blocked and takes them
// only here, has it pending too, and the command, still in the group, got it itself.
// The group's copy may reach the init a moment after supply-sim told of it, so it is
// waited for a little; and supply-sim may tell of a send to it and the group's as two
// (timeout's), so a signal told of soon after the group's copy was taken is the
// group's too. A signal that only the init got (sent to it from inside the namespace)
// waits here until one of its kind reaches supply-sim, and is then taken as the group's.
void PassOn(int signal, pid_t command) {
  auto& taken = group_copy_taken[static_cast<std::size_t>(signal)];
  sigset_t just;
  (void)sigemptyset(&just);
  (void)sigaddset(&just, signal);
  bool recent = std::chrono::steady_clock::now() - taken < kOneSend;
  timespec wait{0, recent ? 0 : std::chrono::nanoseconds(kOneSend).count()};
  bool group_got_it = ::sigtimedwait(&just, nullptr, &wait) == signal;
  if (group_got_it) {
    taken = std::chrono::steady_clock::now();
  } else if (recent) {
    taken = {};
    return;  // the group's own copy to supply-sim, told of apart from the send to it alone
  }
  if (!group_got_it || ::getpgid(command) != ::getpgrp()) (void)::kill(command, signal);
}

// The namespace's first process: starts the command, passes signals on to it, reaps
// whatever is handed to it, and ends as soon as the command has, taking the rest of the
// namespace with it.
int Init(char* const* argv, const char* cannot_run, const char* hidden, int from_supply_sim) {
  (void)::prctl(PR_SET_PDEATHSIG, SIGKILL);
  // Had supply-sim ended before that took hold, its end of the pipe is closed now.
  pollfd alive{from_supply_sim, POLLIN, 0};
  if (::poll(&alive, 1, 0) != 0 && (alive.revents & POLLHUP) != 0) return kUsbSetupFailed;
  // A /proc of the namespace's own, in a mount namespace of the init's own so that
  // supply-sim keeps its /proc. Mounts supply-sim makes later still reach it, and what
  // it takes away here stays with supply-sim.
  if (::unshare(CLONE_NEWNS) != 0 || ::mount("none", "/", nullptr, MS_REC | MS_SLAVE, nullptr) != 0 ||
      ::umount2(hidden, MNT_DETACH) != 0 ||
      ::mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0) {
    SayFailure("supply-sim: cannot make the command's view of the mounts: ", errno);
    return kUsbSetupFailed;
  }
  sigset_t held = Forwarded();
  (void)sigaddset(&held, SIGCHLD);
  (void)::sigprocmask(SIG_BLOCK, &held, nullptr);
  sigset_t child;
  (void)sigemptyset(&child);
  (void)sigaddset(&child, SIGCHLD);
  int child_ended = ::signalfd(-1, &child, SFD_CLOEXEC);
  pid_t command = child_ended < 0 ? -1 : ::fork();
  if (command < 0) {
    SayFailure(cannot_run, errno);
    return kUsbSetupFailed;
  }
  if (command == 0) ExecCommand(argv, cannot_run);
  for (;;) {
    std::array<pollfd, 2> events{{{child_ended, POLLIN, 0}, {from_supply_sim, POLLIN, 0}}};
    if (::poll(events.data(), events.size(), -1) < 0) continue;
    if ((events[0].revents & POLLIN) != 0) {
      signalfd_siginfo info{};
      ssize_t got = ::read(child_ended, &info, sizeof info);
      (void)got;  // the waits below tell what ended
      int status = 0;
      pid_t ended = 0;
      while ((ended = ::waitpid(-1, &status, WNOHANG)) > 0) {
        if (ended == command) return StatusOf(status);
      }
    }
    if ((events[1].revents & POLLIN) != 0) {
      unsigned char signal = 0;
      if (::read(from_supply_sim, &signal, 1) == 1) PassOn(signal, command);
    } else if (events[1].revents != 0) {
      return kUsbSetupFailed;  // supply-sim has gone, and the kernel ends the init now
    }
  }
}

// Waits for the init to end and gives back its status, as supply-sim's.
int WaitForInit(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) != pid) {
    if (errno != EINTR) Fail(std::string("cannot wait for the command: ") + std::strerror(errno));
  }
  return StatusOf(status);
}

}  // namespace

void HoldSignals() {
  for (std::size_t k = 0; k < kChanged.size(); ++k) (void)::sigaction(kChanged[k], nullptr, &original_actions[k]);
  sigset_t forwarded = Forwarded();
  (void)::pthread_sigmask(SIG_BLOCK, &forwarded, &original_mask);
  (void)std::signal(SIGPIPE, SIG_IGN);
  (void)std::signal(SIGCHLD, SIG_DFL);
}

int RunUnderInit(const std::vector<std::string>& command, const std::string& hidden) {
  // Everything the init and the command need is made before the fork.
  std::vector<std::string> words = command;
  std::vector<char*> argv;
  argv.reserve(words.size() + 1);
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  std::string cannot_run = "supply-sim: cannot run " + command[0] + ": ";
  int pipe[2];
  if (::pipe2(pipe, O_CLOEXEC) != 0) Fail(std::string("cannot make a pipe: ") + std::strerror(errno));
  (void)::fcntl(pipe[1], F_SETFL, O_NONBLOCK);  // the handler never waits on the init
  // Only now: once it is made, no thread can start in this process.
  if (::unshare(CLONE_NEWPID) != 0) Fail(std::string("cannot make a PID namespace: ") + std::strerror(errno));
  pid_t pid = ::fork();
  if (pid < 0) Fail("cannot start " + command[0] + ": " + std::strerror(errno));
  if (pid == 0) {
    (void)::close(pipe[1]);
    ::_exit(Init(argv.data(), cannot_run.c_str(), hidden.c_str(), pipe[0]));
  }
  (void)::close(pipe[0]);
  to_init = pipe[1];
  struct sigaction tell {};
  tell.sa_handler = TellInit;
  tell.sa_flags = SA_RESTART;
  (void)sigfillset(&tell.sa_mask);
  for (int signal : kForwarded) (void)::sigaction(signal, &tell, nullptr);
  // Signals held until now go on to the command from here, whatever mask supply-sim
  // was started with: passing them on is its own work.
  sigset_t mask = original_mask;
  for (int signal : kForwarded) (void)sigdelset(&mask, signal);
  (void)::pthread_sigmask(SIG_SETMASK, &mask, nullptr);
  return WaitForInit(pid);
}
