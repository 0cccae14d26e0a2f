/* The least N USB exchanges on one open node can cost: for each command, throw away the
 * input reports already waiting, write one report, wait for the answer with a bound
 * (poll) and read it; status 3 at the first answer that is not the supply's answer to the
 * command. Usage: floor_hid_session NODE N */
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  unsigned char report[64] = {0x00, 0xA1, 0xB2, 0x00, 0x0D, 0x0A};
  const unsigned char expected[6] = {0xA1, 0xB2, 0x00, 0x00, 0x0D, 0x0A};
  unsigned char input[64];
  int fd = open(argv[1], O_RDWR | O_NONBLOCK);
  if (fd < 0) return 3;
  for (int k = atoi(argv[2]); k > 0; --k) {
    struct pollfd entry = {fd, POLLIN, 0};
    while (poll(&entry, 1, 0) == 1 && read(fd, input, sizeof input) > 0) {
    }
    if (write(fd, report, sizeof report) != sizeof report) return 3;
    if (poll(&entry, 1, 5000) != 1 || read(fd, input, sizeof input) < (ssize_t)sizeof expected) return 3;
    if (memcmp(input, expected, sizeof expected) != 0) return 3;
  }
  close(fd);
  return 0;
}
