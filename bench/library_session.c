/* N exchanges through libdimlink in one process, against a supply opened once: what a
 * program that links the library pays per exchange. Status 3, with the reason on
 * standard error, at the first exchange that does not give the supply's answer to the
 * command. Usage: library_session tcp ADDRESS PORT N | library_session usb PATH N */
#include <dimlink.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char** argv) {
  int tcp = argc == 5 && strcmp(argv[1], "tcp") == 0;
  if (!tcp && !(argc == 4 && strcmp(argv[1], "usb") == 0)) return 2;
  dimlink_result result = DIMLINK_RESULT_INIT;
  dimlink_supply* supply =
      tcp ? dimlink_open_tcp(argv[2], atoi(argv[3]), &result) : dimlink_open_usb(NULL, argv[2], &result);
  if (supply == NULL) return fprintf(stderr, "library_session: %s: %s\n", result.verdict, result.message), 3;
  const unsigned char command[] = {0xA1, 0xB2, 0x00, 0x0D, 0x0A};
  const unsigned char expected[] = {0xA1, 0xB2, 0x00, 0x00, 0x0D, 0x0A};
  int status = 0;
  for (int k = atoi(argv[argc - 1]); k > 0 && status == 0; --k) {
    if (dimlink_exchange(supply, command, sizeof command, &result) != 0 || result.answer_length != sizeof expected ||
        memcmp(result.answer, expected, sizeof expected) != 0) {
      fprintf(stderr, "library_session: %s: %s\n", result.verdict, result.message);
      status = 3;
    }
  }
  dimlink_close(supply);
  return status;
}
