/* The least a LAN exchange can cost: socket, connect, one 64-byte send, receiving the
 * answer; status 3 unless it is the supply's answer to the command. */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  unsigned char command[64] = {0xA1, 0xB2, 0x00, 0x0D, 0x0A};
  const unsigned char expected[6] = {0xA1, 0xB2, 0x00, 0x00, 0x0D, 0x0A};
  unsigned char answer[64];
  struct sockaddr_in address = {0};
  address.sin_family = AF_INET;
  address.sin_port = htons((unsigned short)atoi(argv[2]));
  inet_pton(AF_INET, argv[1], &address.sin_addr);
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0 || connect(fd, (struct sockaddr*)&address, sizeof address) != 0) return 3;
  if (send(fd, command, sizeof command, 0) != sizeof command) return 3;
  for (size_t got = 0; got < sizeof expected;) {
    ssize_t more = recv(fd, answer + got, sizeof answer - got, 0);
    if (more <= 0) return 3;
    got += (size_t)more;
  }
  if (memcmp(answer, expected, sizeof expected) != 0) return 3;
  close(fd);
  return 0;
}
