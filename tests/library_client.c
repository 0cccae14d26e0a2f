/* A program of the library's users, in C: it exchanges through libdimlink and prints
 * each result as the tools' --json object (with the time the exchange took), so that
 * the tests compare the two byte for byte.
 *   library_client tcp ADDRESS PORT TIMEOUT_MS COMMAND
 *   library_client usb SERIAL|- PATH|- TIMEOUT_MS COMMAND
 * (the --json object is the library's own, dimlink_result_json's)
 *   library_client threads        (USB: 8 threads on one handle)
 *   library_client repeat FILE    (USB: back to back until FILE exists)
 *   library_client interrupt ADDRESS PORT   (a silent supply, interrupted from another thread;
 *                                            usb SERIAL|-: a USB supply)
 *   library_client fork ADDRESS PORT        (a handle used in a child after fork())
 *   library_client api            (NULL arguments, bounds, sizes, version)
 *   library_client held SERIAL|- PATH|- WAIT_MS   (each command line of standard input
 *                                 on one handle, opened at the first, waiting for it)
 * Every result sits before a guard that the library must never write: a program built
 * against this header allocates no more. */
#define _POSIX_C_SOURCE 200809L
#include <dimlink.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#ifndef _WIN32 /* fork() is POSIX only */
#include <sys/wait.h>
#include <unistd.h>
#endif

static double now_ms(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000.0 + t.tv_nsec / 1e6;
}

/* A result as a program built against this header allocates it, with a guard after it. */
typedef struct guarded_result {
  dimlink_result result;
  unsigned char guard[256];
} guarded_result;

static guarded_result* new_result(void) {
  guarded_result* g = malloc(sizeof *g);
  dimlink_result init = DIMLINK_RESULT_INIT;
  g->result = init;
  memset(g->guard, 0xA5, sizeof g->guard);
  return g;
}

static void check_guard(const guarded_result* g) {
  for (size_t k = 0; k < sizeof g->guard; ++k)
    if (g->guard[k] != 0xA5) printf("the library wrote past the result's size\n"), exit(70);
}

/* One line a result: the --json object as the library writes it, "|", and the
 * milliseconds the exchange took. */
static void print_result(const unsigned char* command, size_t length, const dimlink_result* r, double ms) {
  char json[1024];
  int size = dimlink_result_json(r, command, length, json, sizeof json);
  if (size < 0 || (size_t)size >= sizeof json) printf("no JSON: %d\n", size), exit(71);
  printf("%s|%.0f\n", json, ms);
}

/* Exchanges the command text (or reports why the supply did not open, or the text's
 * refusal); gives back the status. */
static int exchange(dimlink_supply* supply, const char* text, guarded_result* g) {
  unsigned char command[64];
  size_t length = 0;
  if (dimlink_parse_command(text, command, &length, &g->result) != 0)
    return check_guard(g), print_result(NULL, 0, &g->result, 0), g->result.status;
  double start = now_ms();
  if (supply != NULL) dimlink_exchange(supply, command, length, &g->result);
  check_guard(g);
  print_result(command, length, &g->result, now_ms() - start);
  return g->result.status;
}

static const char* any(const char* text) { return strcmp(text, "-") == 0 ? NULL : text; }

static dimlink_supply* shared_supply;

/* Each thread sends its own first two bytes and checks that the echo is its own. */
static void* exchanges_of_one_thread(void* argument) {
  unsigned char id = (unsigned char)(size_t)argument;
  for (unsigned char k = 0; k < 50; ++k) {
    unsigned char command[5] = {id, k, 0x00, 0x0D, 0x0A};
    dimlink_result result = DIMLINK_RESULT_INIT;
    dimlink_exchange(shared_supply, command, sizeof command, &result);
    if (!result.answered || result.answer[0] != id || result.answer[1] != k) {
      printf("thread %u, exchange %u: %s\n", id, k, result.verdict);
      return (void*)1;
    }
  }
  return NULL;
}

static int run_threads(void) {
  dimlink_result opened = DIMLINK_RESULT_INIT;
  if ((shared_supply = dimlink_open_usb(NULL, NULL, &opened)) == NULL) return printf("%s\n", opened.verdict), 1;
  pthread_t threads[8];
  int faults = 0;
  for (size_t t = 0; t < 8; ++t) pthread_create(&threads[t], NULL, exchanges_of_one_thread, (void*)(t + 0x10));
  for (size_t t = 0; t < 8; ++t) {
    void* fault = NULL;
    pthread_join(threads[t], &fault);
    faults += fault != NULL;
  }
  dimlink_close(shared_supply);
  puts(faults ? "faults" : "ok");
  return faults != 0;
}

static int exists(const char* path) {
  FILE* file = fopen(path, "r");
  return file != NULL && fclose(file) == 0;
}

/* A program that polls its supply: exchanges back to back on the first USB supply until
 * the file exists (60 s at most); prints "open" once it is open, the verdict of each
 * exchange not carried out, and how many it made. */
static int run_repeat(const char* stop) {
  dimlink_result result = DIMLINK_RESULT_INIT;
  dimlink_supply* supply = dimlink_open_usb(NULL, NULL, &result);
  const unsigned char command[5] = {0xA1, 0xB2, 0x00, 0x0D, 0x0A};
  puts(supply != NULL ? "open" : result.verdict);
  fflush(stdout);
  int count = 0;
  for (double end = now_ms() + 60000; supply != NULL && !exists(stop) && now_ms() < end; ++count)
    if (dimlink_exchange(supply, command, sizeof command, &result) != 0) puts(result.verdict);
  dimlink_close(supply);
  return printf("%d exchanges\n", count), 0;
}

/* Interrupted from another thread while it waits for a silent supply's answer; the
 * handle stays usable. */
static void* interrupt_later(void* supply) {
  struct timespec pause = {0, 300 * 1000 * 1000};
  nanosleep(&pause, NULL);
  dimlink_interrupt(supply);
  return NULL;
}

static int run_interrupt(const char* address, const char* port) {
  guarded_result* g = new_result();
  dimlink_supply* supply = strcmp(address, "usb") == 0 ? dimlink_open_usb(any(port), NULL, &g->result)
                                                       : dimlink_open_tcp(address, atoi(port), &g->result);
  if (supply == NULL || dimlink_set_timeout(supply, 20000) != 0) return 1;
  pthread_t thread;
  pthread_create(&thread, NULL, interrupt_later, supply);
  exchange(supply, "A1 B2 00 0D 0A", g);
  pthread_join(thread, NULL);
  dimlink_set_timeout(supply, 200);
  exchange(supply, "A1 B2 00 0D 0A", g);
  dimlink_close(supply);
  free(g);
  return 0;
}

#ifndef _WIN32
/* The child's exchange is refused; the parent's handle goes on working. */
static int run_fork(const char* address, const char* port) {
  guarded_result* g = new_result();
  dimlink_supply* supply = dimlink_open_tcp(address, atoi(port), &g->result);
  fflush(stdout);
  pid_t child = fork();
  if (child == 0) {
    int status = exchange(supply, "A1 B2 00 0D 0A", g);
    dimlink_close(supply);
    fflush(stdout);
    _exit(status == -1 ? 0 : 1);
  }
  int child_status = 1;
  waitpid(child, &child_status, 0);
  exchange(supply, "A1 B2 00 0D 0A", g);
  dimlink_close(supply);
  free(g);
  return child_status;
}
#endif

#ifndef _WIN32
static void ignore_signal(int number) { (void)number; }

/* A program that holds its supply all shift: opens it at the first command, waiting for
 * it up to WAIT_MS (a handled SIGINT, Ctrl-C, ends the wait), then exchanges each command
 * line on the one handle. */
static int run_held(const char* serial, const char* path, const char* wait_ms) {
  signal(SIGINT, ignore_signal);
  guarded_result* g = new_result();
  dimlink_supply* supply = NULL;
  char line[256];
  while (fgets(line, sizeof line, stdin) != NULL) {
    line[strcspn(line, "\n")] = '\0';
    if (supply == NULL && (supply = dimlink_wait_usb(any(serial), any(path), atoi(wait_ms), &g->result)) == NULL)
      return check_guard(g), print_result(NULL, 0, &g->result, 0), g->result.status;
    exchange(supply, line, g);
    fflush(stdout);
  }
  dimlink_close(supply);
  free(g);
  return 0;
}
#endif

#define EXPECT(condition) \
  if (!(condition)) return printf("failed: %s\n", #condition), 1

static int check_api(void) {
  unsigned char command[64] = {0xA1, 0xB2, 0x00, 0x0D, 0x0A};
  size_t length = 0;
  dimlink_result result = DIMLINK_RESULT_INIT;
  char version[32];
  snprintf(version, sizeof version, "%d.%d.%d", DIMLINK_VERSION_MAJOR, DIMLINK_VERSION_MINOR, DIMLINK_VERSION_PATCH);
  EXPECT(strcmp(dimlink_version(), version) == 0);
  EXPECT(dimlink_last_result(&result) == 0 && strcmp(result.verdict, "carried-out") == 0);
  EXPECT(dimlink_parse_command(NULL, command, &length, &result) == -1 && result.status == -1 &&
         strcmp(result.verdict, "invalid-call") == 0 &&
         dimlink_parse_command("A1 B2 00 0D 0A", NULL, &length, &result) == -1 &&
         dimlink_parse_command("A1 B2 00 0D 0A", command, NULL, &result) == -1);
  EXPECT(dimlink_parse_command("A1\tB2 -1 d 0a", command, &length, NULL) == 0 && length == 5 && command[2] == 0xFF);
  dimlink_supply_info* list = NULL;
  EXPECT(dimlink_list_usb(NULL) == -1 && dimlink_list_usb(&list) >= 0);
  dimlink_free_list(list);
  dimlink_free_list(NULL);
  EXPECT(dimlink_wait_usb(NULL, NULL, -1, &result) == NULL && result.status == -1);
  EXPECT(dimlink_open_tcp(NULL, 1, &result) == NULL && result.status == -1 && dimlink_set_timeout(NULL, 100) == -1 &&
         dimlink_interrupt(NULL) == -1 && dimlink_set_signal_hook(NULL, NULL, NULL) == -1 &&
         dimlink_last_result(NULL) == -1);
  /* An open that fails without a result leaves its reason to be had; no port wraps. */
  EXPECT(dimlink_open_tcp("127.0.0.1", 0, &result) == NULL && result.status == 1);
  EXPECT(dimlink_open_tcp("127.0.0.1", 109389, NULL) == NULL && dimlink_last_result(&result) == 1 &&
         strstr(result.message, "109389") != NULL);
  /* A word of 3-byte characters after an "x", too long for the message field, whose end
   * falls inside a character: it goes whole. */
  char text[700] = "x";
  for (int k = 0; k < 220; ++k) strcat(text, "\xE3\x81\x82");
  EXPECT(dimlink_parse_command(strcat(text, " B2 00 0D 0A"), command, &length, &result) == 1 &&
         strlen(result.message) == strlen("Invalid command byte \"x") + 162 * 3);
  dimlink_close(NULL);
  dimlink_supply* supply = dimlink_open_tcp("::1", 9, NULL);
  EXPECT(supply != NULL);
  dimlink_result zeroed;
  memset(&zeroed, 0, sizeof zeroed);
  EXPECT(dimlink_exchange(supply, command, 5, &zeroed) == -1 && zeroed.size == 0 && zeroed.verdict == NULL &&
         dimlink_last_result(&result) == -1 && strstr(result.message, "DIMLINK_RESULT_INIT") != NULL);
  EXPECT(dimlink_exchange(supply, NULL, 5, &result) == -1 && result.status == -1 &&
         dimlink_exchange(supply, command, 5, NULL) == -1);
  EXPECT(dimlink_set_timeout(supply, 0) == -1 && dimlink_set_timeout(supply, 600001) == -1 &&
         dimlink_set_timeout(supply, 1) == 0 && dimlink_set_timeout(supply, 600000) == 0);
  EXPECT(dimlink_exchange(supply, command, 4, &result) == 1 && !result.sent);
  EXPECT(dimlink_exchange(supply, command, 65, &result) == 1 && strcmp(result.verdict, "bad-command") == 0);
  char cut[8];
  EXPECT(dimlink_result_json(NULL, NULL, 0, cut, sizeof cut) == -1 &&
         dimlink_result_json(&zeroed, NULL, 0, NULL, 0) == -1);
  int whole = dimlink_result_json(&result, command, 5, cut, sizeof cut);
  EXPECT(whole > 8 && strcmp(cut, "{\"comma") == 0 && dimlink_result_json(&result, NULL, 0, NULL, 0) < whole);
  dimlink_close(supply);
  puts("ok");
  return 0;
}

int main(int argc, char** argv) {
  if (argc == 2 && strcmp(argv[1], "api") == 0) return check_api();
  if (argc == 2 && strcmp(argv[1], "threads") == 0) return run_threads();
  if (argc == 3 && strcmp(argv[1], "repeat") == 0) return run_repeat(argv[2]);
  if (argc == 4 && strcmp(argv[1], "interrupt") == 0) return run_interrupt(argv[2], argv[3]);
#ifndef _WIN32
  if (argc == 4 && strcmp(argv[1], "fork") == 0) return run_fork(argv[2], argv[3]);
  if (argc == 5 && strcmp(argv[1], "held") == 0) return run_held(argv[2], argv[3], argv[4]);
#endif
  if (argc != 6) return 64;
  guarded_result* g = new_result();
  dimlink_supply* supply = strcmp(argv[1], "tcp") == 0 ? dimlink_open_tcp(argv[2], atoi(argv[3]), &g->result)
                                                       : dimlink_open_usb(any(argv[2]), any(argv[3]), &g->result);
  check_guard(g);
  if (supply != NULL) dimlink_set_timeout(supply, atoi(argv[4]));
  int status = exchange(supply, argv[5], g);
  dimlink_close(supply);
  free(g);
  return status;
}
