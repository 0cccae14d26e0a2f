/* Runs a program N times, one process after another, and prints each run's wall time in
 * microseconds, then the largest peak resident memory (KiB) of any run. The runner
 * itself is kept tiny so that its own image adds little to what the children report.
 * Usage: run_many N PROGRAM [ARG...] (the program's output goes to /dev/null). */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  int runs = atoi(argv[1]);
  int null = open("/dev/null", O_WRONLY);
  long peak = 0;
  for (int k = 0; k < runs; ++k) {
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    pid_t pid = vfork();
    if (pid == 0) {
      dup2(null, 1);
      execv(argv[2], argv + 2);
      _exit(127);
    }
    int status = 0;
    struct rusage usage;
    wait4(pid, &status, 0, &usage);
    clock_gettime(CLOCK_MONOTONIC, &end);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      fprintf(stderr, "run_many: %s ended with status %d\n", argv[2], status);
      return 1;
    }
    if (usage.ru_maxrss > peak) peak = usage.ru_maxrss;
    printf("%ld\n", (end.tv_sec - start.tv_sec) * 1000000L + (end.tv_nsec - start.tv_nsec) / 1000L);
  }
  printf("peak %ld\n", peak);
  return 0;
}
