// eotslave: the least a slave station on a Uni-Telway bus can do, as a yardstick for busbridge's
// cost on the same machine: it answers every poll for its address with EOT and does nothing
// else (no requests, no trace, no channel messages). One blocking read a wake-up, one write a
// poll. It runs until a stop signal or until the line hangs up.
//   eotslave DEVICE [ADDRESS]      (ADDRESS 6 by default)
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: eotslave DEVICE [ADDRESS]\n");
        return 2;
    }
    int address = argc > 2 ? std::atoi(argv[2]) : 6;
    int fd = open(argv[1], O_RDWR | O_NOCTTY);
    if (fd < 0) {
        std::perror(argv[1]);
        return 1;
    }
    termios attributes{};
    tcgetattr(fd, &attributes);
    cfmakeraw(&attributes);
    attributes.c_cflag |= CREAD | CLOCAL;
    attributes.c_cc[VMIN] = 1;  // a read waits for the next byte, however long
    attributes.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &attributes);
    const unsigned char eot = 0x04;
    int state = 0;  // 0 idle, 1 after DLE, 2 after DLE ENQ
    unsigned char input[256];
    for (;;) {
        ssize_t n = read(fd, input, sizeof input);
        if (n <= 0) {
            return 0;
        }
        for (ssize_t i = 0; i < n; ++i) {
            unsigned char byte = input[i];
            if (state == 2 && byte == address && write(fd, &eot, 1) != 1) {
                return 1;
            }
            state = byte == 0x10 ? 1 : state == 1 && byte == 0x05 ? 2 : 0;
        }
    }
}
