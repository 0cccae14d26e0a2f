/* dimlink: exchanges with the dimmable lighting power supply, over USB HID or TCP.
 *
 * One command, one answer: a program opens a supply once and exchanges with it as often
 * as it likes. Each result holds what the tools' --json report holds for the same
 * exchange. The library prints nothing, needs no set-up call, installs no signal
 * handler and never ends the program; a NULL where a pointer is expected is refused.
 *
 * Threads: one handle may be used from several threads at once; their exchanges take
 * turns and each caller gets the answer to its own command. Different handles never
 * wait for each other, beyond a USB supply's own lock, which other processes (the
 * kestrow tool among them) take too, for one exchange at a time. */
#ifndef DIMLINK_H
#define DIMLINK_H

#include <stddef.h>

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
#else
#define DIMLINK_API __attribute__((visibility("default")))
#endif

/* The version of this header; dimlink_version() gives the loaded library's. */
#define DIMLINK_VERSION_MAJOR 0
#define DIMLINK_VERSION_MINOR 2
#define DIMLINK_VERSION_PATCH 0

/* "MAJOR.MINOR.PATCH" of the library actually loaded; static storage. */
DIMLINK_API const char* dimlink_version(void);

/* An open supply: a USB supply found and opened, or a TCP address checked and kept. */
typedef struct dimlink_supply dimlink_supply;

/* What one exchange (or a refusal before one) came to, as --json reports it. */
typedef struct dimlink_result {
  int status;          /* 0 carried out, 1 refused, 2 answered with another verdict, 3 no answer */
  const char* verdict; /* the --json "verdict" key, e.g. "carried-out", "busy"; static storage */
  char message[512];   /* the report's message, UTF-8, NUL-terminated */
  long error;          /* the system's error number; 0 where --json has null */
  int sent;            /* 1 when the command reached the supply */
  int answered;        /* 1 when answer and raw hold an answer */
  unsigned char answer[64];
  size_t answer_length; /* the answer's bytes, as its command code calls for */
  unsigned char raw[64];
  size_t raw_length; /* every byte of the answer as it came */
} dimlink_result;

/* One USB supply of the listing; UTF-8, NUL-terminated, empty where the device gives none. */
typedef struct dimlink_supply_info {
  char path[512];
  char serial[256];
  char name[256];
} dimlink_supply_info;

/* Reads a command in the tools' byte syntax ("A1 B2 00 0D 0A": one or two hex digits
 * a byte, "-1" for FF, blanks or tabs between), 5 to 64 bytes. Gives back 0 with
 * command and length filled, or the refusal's status (1, "bad-command") with result
 * filled; -1 for a NULL argument. result may be NULL. */
DIMLINK_API int dimlink_parse_command(const char* text, unsigned char command[64], size_t* length,
                                      dimlink_result* result);

/* Fills at most capacity entries, in the order a search takes supplies, and gives back
 * how many supplies there are (which may exceed capacity), or -1 when the platform's
 * listing failed or infos is NULL with a capacity. Opens no device. */
DIMLINK_API int dimlink_list_usb(dimlink_supply_info* infos, int capacity);

/* Finds and opens a USB supply: the first that matches serial and path (UTF-8, NULL for either
 * means any) and can be opened. NULL on failure, with result filled ("not-found",
 * status 3). result may be NULL. */
DIMLINK_API dimlink_supply* dimlink_open_usb(const char* serial, const char* path, dimlink_result* result);

/* Checks a numeric IPv4 or IPv6 address (never a name lookup) and keeps it with the
 * port; each exchange connects, sends, receives and closes. NULL with status 1,
 * "bad-command" for an address or port it refuses. result may be NULL. */
DIMLINK_API dimlink_supply* dimlink_open_tcp(const char* address, unsigned short port, dimlink_result* result);

/* The bound, in milliseconds, for this handle's lock wait, connect, send and answer wait
 * (5000 at first). 1 to 600000; gives back 0, or -1 leaving it as it was. */
DIMLINK_API int dimlink_set_timeout(dimlink_supply* supply, int milliseconds);

/* Sends one command (5 to 64 bytes; 5 to 63 on USB) and receives its answer, filling
 * result; gives back result->status, or -1 for a NULL argument. On USB the supply's
 * lock is held for this exchange only: a lock not had within the time-out is "busy"; on
 * Windows one that cannot be had at all is "lock-failed", with its error number. */
DIMLINK_API int dimlink_exchange(dimlink_supply* supply, const unsigned char* command, size_t length,
                                 dimlink_result* result);

/* Closes the supply and frees the handle; NULL does nothing. No exchange on the handle
 * may be running or begin after it. */
DIMLINK_API void dimlink_close(dimlink_supply* supply);

#ifdef __cplusplus
}
#endif

#endif /* DIMLINK_H */
