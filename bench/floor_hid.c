/* The least a USB exchange can cost: open the node, write one report, read one; status 3
 * unless it is the supply's answer to the command. With "poll" after the node, it waits
 * for the report with poll() first, as a tool that must not wait forever does. */
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  unsigned char report[64] = {0x00, 0xA1, 0xB2, 0x00, 0x0D, 0x0A};
  const unsigned char expected[6] = {0xA1, 0xB2, 0x00, 0x00, 0x0D, 0x0A};
  unsigned char input[64];
  int fd = open(argv[1], O_RDWR);
  if (fd < 0) return 3;
  if (write(fd, report, sizeof report) != sizeof report) return 3;
  if (argc > 2 && strcmp(argv[2], "poll") == 0) {
    struct pollfd entry = {fd, POLLIN, 0};
    if (poll(&entry, 1, 5000) != 1) return 3;
  }
  if (read(fd, input, sizeof input) < (ssize_t)sizeof expected || memcmp(input, expected, sizeof expected) != 0)
    return 3;
  close(fd);
  return 0;
}
