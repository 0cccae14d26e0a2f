#include "tools/supply_log.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

namespace {

constexpr std::size_t kHeldBytes = 1 << 20;             // beyond this, lines are counted as lost
constexpr std::chrono::milliseconds kStallLimit{1000};  // a log that takes nothing this long is stuck

struct LogState {
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<std::string> queue;  // whole lines, newline included
  std::size_t held_bytes = 0;     // of the queued lines and those being written
  std::size_t writing = 0;        // lines the writer has taken and not yet written
  std::size_t written = 0;        // lines written so far: the writer's progress
  std::size_t lost = 0;
  bool gone = false;  // the log failed a write: nothing more reaches it
  bool open = false;  // taking lines: from OpenLog to FinishLog
  int fd = -1;
};

// Never destroyed: the writer may still be blocked on it while the process ends.
LogState& State() {
  static auto* state = new LogState;
  return *state;
}

int failure_status = 2;

bool WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Writes a short text only if fd takes it within the time, so that a message about a
// stuck log never gets stuck itself.
void WriteWithin(int fd, const std::string& text, std::chrono::milliseconds limit) {
  pollfd entry{fd, POLLOUT, 0};
  if (::poll(&entry, 1, static_cast<int>(limit.count())) == 1 && (entry.revents & POLLOUT) != 0) {
    (void)WriteAll(fd, text);
  }
}

// Writes lines in writes of at most PIPE_BUF bytes where they fit, which a pipe takes
// whole or not at all: a log that stops taking lines never ends in half of one.
void WriteQueuedLines(LogState& state) {
  std::unique_lock lock(state.mutex);
  for (;;) {
    state.changed.wait(lock, [&] { return !state.queue.empty(); });
    std::deque<std::string> lines = std::exchange(state.queue, {});
    state.writing = lines.size();
    int fd = state.fd;
    while (!lines.empty() && !state.gone) {
      std::string chunk;
      std::size_t count = 0;
      for (; count < lines.size() && (count == 0 || chunk.size() + lines[count].size() <= PIPE_BUF); ++count) {
        chunk += lines[count];
      }
      lock.unlock();
      bool written = WriteAll(fd, chunk);
      lock.lock();
      state.held_bytes -= chunk.size();
      lines.erase(lines.begin(), lines.begin() + static_cast<long>(count));
      state.writing -= count;
      if (written) {
        state.written += count;
      } else {
        state.lost += count;
        state.gone = true;
      }
      state.changed.notify_all();
    }
    state.lost += lines.size();  // after the log has gone
    for (const std::string& line : lines) state.held_bytes -= line.size();
    state.writing = 0;
  }
}

}  // namespace

void OpenLog(const std::string& path, bool default_to_stderr) {
  (void)std::signal(SIGPIPE, SIG_IGN);
  LogState& state = State();
  state.fd = default_to_stderr ? STDERR_FILENO : STDOUT_FILENO;
  if (!path.empty()) {
    state.fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (state.fd < 0) Fail("cannot open the log " + path + ": " + std::strerror(errno));
  }
  state.open = true;
  std::thread([&state] { WriteQueuedLines(state); }).detach();
}

void FinishLogOnEndingSignals() {
  sigset_t ending;
  (void)sigemptyset(&ending);
  for (int signal : {SIGHUP, SIGINT, SIGTERM}) {
    struct sigaction action {};
    if (::sigaction(signal, nullptr, &action) == 0 && action.sa_handler != SIG_IGN) (void)sigaddset(&ending, signal);
  }
  (void)::pthread_sigmask(SIG_BLOCK, &ending, nullptr);
  std::thread([ending] {
    int signal = 0;
    if (::sigwait(&ending, &signal) != 0) return;
    (void)FinishLog();
    sigset_t only;
    (void)sigemptyset(&only);
    (void)sigaddset(&only, signal);
    (void)::pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    (void)::raise(signal);  // its default action, on this thread: the process ends as it would have
  }).detach();
}

void Log(const std::string& line) {
  LogState& state = State();
  std::lock_guard lock(state.mutex);
  if (!state.open || state.gone || state.held_bytes + line.size() + 1 > kHeldBytes) {
    ++state.lost;
    return;
  }
  state.queue.push_back(line + "\n");
  state.held_bytes += line.size() + 1;
  state.changed.notify_all();
}

std::size_t FinishLog() {
  LogState& state = State();
  std::unique_lock lock(state.mutex);
  if (!state.open) return 0;
  for (;;) {
    std::size_t progress = state.written;
    auto idle = [&] { return state.gone || (state.queue.empty() && state.writing == 0); };
    if (state.changed.wait_for(lock, kStallLimit, idle)) break;
    if (state.written == progress) break;  // nothing taken for a while: the log is stuck
  }
  std::size_t lost = state.lost + state.queue.size() + state.writing;
  state.lost += state.queue.size();
  state.queue.clear();
  state.open = false;  // lines that come now are not waited for either
  lock.unlock();
  if (lost > 0) {
    WriteWithin(STDERR_FILENO, "supply-sim: " + std::to_string(lost) + " log lines could not be written\n",
                kStallLimit);
  }
  return lost;
}

void SetFailureStatus(int status) { failure_status = status; }

void Fail(const std::string& why) {
  (void)FinishLog();
  (void)std::fflush(stdout);
  WriteWithin(STDERR_FILENO, "supply-sim: " + why + "\n", kStallLimit);
  std::_Exit(failure_status);
}
