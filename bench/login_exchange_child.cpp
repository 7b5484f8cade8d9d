// The child tcpserver runs for each connection in the launch benchmark:
// the same 331-byte read and 2-byte reply as the daemon, on standard input
// and output.
#include <unistd.h>

int main() {
  char record[331];
  unsigned got = 0;
  while (got < sizeof record) {
    const ssize_t n = read(0, record + got, sizeof record - got);
    if (n <= 0) return 1;
    got += static_cast<unsigned>(n);
  }
  const char reply[2] = {0, 1};
  return write(1, reply, 2) == 2 ? 0 : 1;
}
