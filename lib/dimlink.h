/* dimlink: exchanges with the dimmable lighting power supply, over USB HID or TCP.
 *
 * One command, one answer: a program opens a supply once and exchanges with it as often
 * as it likes. Each result holds what the tools' --json report holds for the same
 * exchange. The library prints nothing, needs no set-up call, installs no signal
 * handler and never ends the program.
 *
 * Growing without breaking: every struct a caller allocates begins with its size, which
 * the caller sets (DIMLINK_RESULT_INIT does); the library writes only what fits that
 * size, so a program built against 1.0 works with any 1.x library. Later releases only
 * append fields and add functions; each function belongs to the symbol version of the
 * release that added it (DIMLINK_1.0 here), so a program that needs a newer library
 * refuses to start on an older one instead of failing at its first call.
 *
 * Results: every call that is given a result fills it, whatever happens. A call refused
 * for its arguments (a NULL, a size too small, a handle used in another process) gives
 * back -1 and, where it can, fills the result with status -1 and verdict "invalid-call".
 * What the calling thread's last failed call came to stays to be had from
 * dimlink_last_result(), also when that call was given no result.
 *
 * Threads: one handle may be used from several threads at once; their exchanges take
 * turns, in the order they came, and each caller gets the answer to its own command.
 * Different handles never wait for each other, beyond a USB supply's own lock, which
 * other processes (the kestrow tool among them) take too, for one exchange at a time;
 * waiters are served in turn, so a program exchanging back to back never keeps another
 * out for longer than one exchange.
 *
 * Signals: dimlink_interrupt() is the one function that may be called from a signal
 * handler. fork(): a handle belongs to the process that opened it; in a child every
 * call on it but dimlink_close() is refused (-1): the child opens the supply again. */
#ifndef DIMLINK_H
#define DIMLINK_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#if defined(DIMLINK_BUILDING)
#define DIMLINK_API __declspec(dllexport)
#elif defined(DIMLINK_STATIC)
#define DIMLINK_API
#else
#define DIMLINK_API __declspec(dllimport)
#endif
/* The calling convention of every function and callback: the C default, named, so that
 * a 32-bit Windows build and bindings declaring the functions themselves agree. */
#define DIMLINK_CALL __cdecl
#else
#define DIMLINK_API __attribute__((visibility("default")))
#define DIMLINK_CALL
#endif

/* The version of this header; dimlink_version() gives the loaded library's. */
#define DIMLINK_VERSION_MAJOR 1
#define DIMLINK_VERSION_MINOR 1
#define DIMLINK_VERSION_PATCH 0

/* "MAJOR.MINOR.PATCH" of the library actually loaded; static storage. */
DIMLINK_API const char* DIMLINK_CALL dimlink_version(void);

/* An open supply: a USB supply found and opened, or a TCP address checked and kept. */
typedef struct dimlink_supply dimlink_supply;

/* What one exchange (or a refusal before one) came to, as --json reports it. The caller
 * allocates it and sets size (DIMLINK_RESULT_INIT); the library never changes size. */
typedef struct dimlink_result {
  size_t size;         /* sizeof(dimlink_result) as the caller was built; at least 1.0's */
  int status;          /* 0 carried out, 1 refused, 2 answered with another verdict, 3 no answer;
                          -1 the call itself was refused ("invalid-call", "internal-error") */
  const char* verdict; /* the --json "verdict" key, e.g. "carried-out", "busy"; static storage */
  char message[512];   /* the report's message, UTF-8, NUL-terminated */
  int32_t error;       /* the system's error number; 0 where --json has null */
  int sent;            /* 1 when the command reached the supply */
  int answered;        /* 1 when answer and raw hold an answer */
  unsigned char answer[64];
  size_t answer_length; /* the answer's bytes, as its command code calls for */
  unsigned char raw[64];
  size_t raw_length; /* every byte of the answer as it came */
  char path[512];    /* a failed USB open: the device of the first matching supply that
                        could not be opened; "" otherwise */
} dimlink_result;

/* A result ready to be passed: dimlink_result result = DIMLINK_RESULT_INIT; */
#define DIMLINK_RESULT_INIT                                              \
  {                                                                      \
    sizeof(dimlink_result), 0, NULL, {0}, 0, 0, 0, {0}, 0, {0}, 0, { 0 } \
  }

/* One USB supply of a listing, allocated by the library; texts UTF-8, "" where the
 * device gives none. Later releases may append fields: follow next, never index. */
typedef struct dimlink_supply_info {
  const char* path;
  const char* serial;
  const char* name;
  struct dimlink_supply_info* next; /* NULL after the last */
} dimlink_supply_info;

/* Reads a command in the tools' byte syntax ("A1 B2 00 0D 0A": one or two hex digits
 * a byte, "-1" for FF, blanks or tabs between), 5 to 64 bytes, into command (64 bytes).
 * Gives back 0 with command and length filled, or the refusal's status (1,
 * "bad-command") with result filled; -1 for a NULL argument. result may be NULL. */
DIMLINK_API int DIMLINK_CALL dimlink_parse_command(const char* text, unsigned char* command, size_t* length,
                                                   dimlink_result* result);

/* Lists the USB supplies present, in the order a search takes them, opening none: sets
 * *list to the first (NULL when there is none) and gives back how many there are, or -1
 * when the platform's listing failed or list is NULL (then *list is NULL). Free the
 * list with dimlink_free_list. */
DIMLINK_API int DIMLINK_CALL dimlink_list_usb(dimlink_supply_info** list);

/* Frees a list that dimlink_list_usb gave; NULL does nothing. */
DIMLINK_API void DIMLINK_CALL dimlink_free_list(dimlink_supply_info* list);

/* Finds and opens a USB supply: the first that matches serial and path (UTF-8, NULL for
 * either means any) and can be opened. NULL on failure, with result filled: "not-found",
 * status 3; where a matching supply could not be opened, error holds the first such
 * failure's error number (13 for one the user may not open) and path its device.
 * result may be NULL. */
DIMLINK_API dimlink_supply* DIMLINK_CALL dimlink_open_usb(const char* serial, const char* path, dimlink_result* result);

/* Since 1.1 (DIMLINK_1.1). dimlink_open_usb, but while no matching supply is there (or
 * none can be opened) it looks again every 100 ms, up to milliseconds (0: once, as
 * dimlink_open_usb), using no CPU in between; NULL with "not-found" when none came in
 * time. A signal the process handles (a SIGINT handler for Ctrl-C) ends the wait on the
 * thread it reaches: NULL with "interrupted", status 3, so the program can act on it and
 * call again for the rest of the time if it likes (POSIX only; no handle exists yet for
 * dimlink_interrupt to reach). -1 status, "invalid-call", for a negative wait. */
DIMLINK_API dimlink_supply* DIMLINK_CALL dimlink_wait_usb(const char* serial, const char* path, int milliseconds,
                                                          dimlink_result* result);

/* A USB supply that goes (unplugged, switched off, reset by its hub) and comes back: the
 * exchange that finds it gone gives status 3 at once, "send-failed" when the command
 * could not be written (sent 0), "receive-failed" when it went out and its answer cannot
 * come (sent 1), with the system's error number (ENODEV, or the read's error, on Linux;
 * ERROR_DEVICE_NOT_CONNECTED and its kin on Windows). The handle's next exchanges look
 * for the same supply again: the one with the serial number the opened one had, or, for
 * one without, the same device path. While it is not there they give "not-found" at once,
 * nothing sent; once it is back they exchange with it as before. No other supply is ever
 * taken in its place, even the only one plugged in. */

/* Checks a numeric IPv4 or IPv6 address (never a name lookup) and a port of 1 to 65535,
 * and keeps them; each exchange connects, sends, receives and closes. NULL with status
 * 1, "bad-command", for an address or port it refuses. result may be NULL. */
DIMLINK_API dimlink_supply* DIMLINK_CALL dimlink_open_tcp(const char* address, int port, dimlink_result* result);

/* The bound, in milliseconds, of each exchange on this handle, from the call to its
 * result: the wait for the handle's turn and for a USB supply's lock, the connect, the
 * send and the answer all come out of one deadline (5000 at first). 1 to 600000; gives
 * back 0, or -1 leaving it as it was. */
DIMLINK_API int DIMLINK_CALL dimlink_set_timeout(dimlink_supply* supply, int milliseconds);

/* Sends one command (5 to 64 bytes; 5 to 63 on USB) and receives its answer, filling
 * result; gives back result->status, or -1 for a call it refuses. On USB the supply's
 * lock is held for this exchange only: a lock not had in time is "busy"; on Windows one
 * that cannot be had at all is "lock-failed", with its error number. */
DIMLINK_API int DIMLINK_CALL dimlink_exchange(dimlink_supply* supply, const unsigned char* command, size_t length,
                                              dimlink_result* result);

/* Ends, as soon as they can end, the exchanges on this handle that are running or
 * waiting for their turn when it is called: each gives "interrupted" (status 3; sent
 * tells whether the command went out). Exchanges begun after it are not touched, and the
 * handle stays usable. Safe from any thread and from a signal handler (async-signal-safe).
 * Gives back 0, or -1 for NULL. */
DIMLINK_API int DIMLINK_CALL dimlink_interrupt(dimlink_supply* supply);

/* Called on the exchanging thread when one of an exchange's waits is broken by a signal
 * the process handles (POSIX only; never on Windows), before the wait goes on: a hook
 * that calls dimlink_interrupt() ends the exchange. For runtimes whose signal handlers run
 * later, on their own thread (Python's). */
typedef void(DIMLINK_CALL* dimlink_signal_hook)(void* context);

/* Sets the handle's signal hook, or takes it away with NULL; gives back 0, or -1 for a
 * NULL supply. */
DIMLINK_API int DIMLINK_CALL dimlink_set_signal_hook(dimlink_supply* supply, dimlink_signal_hook hook, void* context);

/* Writes the object the tools' --json prints for the same exchange (without its line
 * feed; ASCII only, keys in the tools' order) into buffer, cut to size - 1 bytes and
 * NUL-terminated; command and length are the bytes the exchange sent (NULL and 0 where
 * there was no command: "command":null). Gives back the object's whole length, so a
 * buffer too small is seen as with snprintf, or -1 for a NULL result or one too small. */
DIMLINK_API int DIMLINK_CALL dimlink_result_json(const dimlink_result* result, const unsigned char* command,
                                                 size_t length, char* buffer, size_t size);

/* Fills result with what the calling thread's last failed call came to (status not 0,
 * or NULL or -1 given back), whether or not that call was given a result; status 0,
 * "carried-out" when none failed yet. Gives back that status, or -1 when result is
 * NULL or its size too small. */
DIMLINK_API int DIMLINK_CALL dimlink_last_result(dimlink_result* result);

/* Closes the supply and frees the handle; NULL does nothing. No exchange on the handle
 * may be running or begin after it. */
DIMLINK_API void DIMLINK_CALL dimlink_close(dimlink_supply* supply);

#ifdef __cplusplus
}
#endif

#endif /* DIMLINK_H */
