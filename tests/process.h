// Running the built programs from tests: capture their output and exit status, and never
// wait for them without a limit.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

struct ProcessResult {
  std::string out;
  std::string err;
  int status = -1;     // exit status; -1 when it was killed or died by a signal
  double seconds = 0;  // wall time from start to exit
  bool timed_out = false;
};

// Runs argv[0] with the arguments and the environment less every locale variable, plus
// env (NAME=value entries, which replace any of the same name). Kills it after
// limit_seconds.
ProcessResult RunProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                         double limit_seconds = 30);

// A program left running in the background (the simulated power supply), killed when the
// object goes. Its standard output is read line by line.
struct BackgroundProcess {
  explicit BackgroundProcess(const std::vector<std::string>& argv);
  ~BackgroundProcess();
  BackgroundProcess(const BackgroundProcess&) = delete;
  BackgroundProcess& operator=(const BackgroundProcess&) = delete;

  // The next line of its output, without the line end; empty after limit_seconds.
  std::string ReadLine(double limit_seconds = 10);

  // Sends the signal and gives back the rest of its output once it has exited; kills it
  // when it has not exited after limit_seconds.
  std::string Stop(int signal, double limit_seconds = 5);

  pid_t pid = -1;
  int out_fd = -1;
  std::string pending;
};

// True in CI, where a test that cannot run must fail instead of skipping.
bool InCi();

// Ends a test that lacks what it needs (`missing` says what; empty when nothing is
// missing): a failure in CI, a skip elsewhere.
#define REQUIRE_NOTHING_MISSING(missing) \
  do {                                   \
    const std::string what = (missing);  \
    if (!what.empty()) {                 \
      if (InCi()) FAIL() << what;        \
      GTEST_SKIP() << what;              \
    }                                    \
  } while (false)
