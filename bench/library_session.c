/* N exchanges through libdimlink in one process, against a supply opened once: what a
 * program that links the library pays per exchange.
 * Usage: library_session tcp ADDRESS PORT N | library_session usb N */
#include <dimlink.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char** argv) {
  int tcp = argc == 5 && strcmp(argv[1], "tcp") == 0;
  if (!tcp && !(argc == 3 && strcmp(argv[1], "usb") == 0)) return 2;
  dimlink_result result;
  dimlink_supply* supply =
      tcp ? dimlink_open_tcp(argv[2], (unsigned short)atoi(argv[3]), &result) : dimlink_open_usb(NULL, NULL, &result);
  if (supply == NULL) return 3;
  const unsigned char command[] = {0xA1, 0xB2, 0x00, 0x0D, 0x0A};
  for (int k = atoi(argv[argc - 1]); k > 0; --k) {
    if (dimlink_exchange(supply, command, sizeof command, &result) != 0) return 3;
  }
  dimlink_close(supply);
  return 0;
}
