#include "serial.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

int sd = -1;
unsigned char c;
int status;

// A byte taken by serial_peek that the descriptor can't take back; -1 when
// none is held.
static int held = -1;

speed_t serial_speed(int baud) {
    switch (baud) {
    case 50:
        return B50;
    case 75:
        return B75;
    case 110:
        return B110;
    case 134:
        return B134;
    case 150:
        return B150;
    case 200:
        return B200;
    case 300:
        return B300;
    case 600:
        return B600;
    case 1200:
        return B1200;
    case 1800:
        return B1800;
    case 2400:
        return B2400;
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    default:
        return B230400;
    }
}

void serial_begin(const char *device, int baud) {
    speed_t speed = serial_speed(baud);
    struct termios options;

    sd = open(device, O_RDWR | O_NOCTTY | O_NDELAY);
    if (sd == -1) {
        fprintf(stderr, "Unable to open the serial port %s\n", device);
        exit(1);
    }
    // Clears O_NDELAY again, for blocking reads and writes (callers read only
    // what FIONREAD reported). F_SETFL ignores the access mode: O_RDWR here
    // stands for "no status flags".
    fcntl(sd, F_SETFL, O_RDWR);

    tcgetattr(sd, &options);
    cfmakeraw(&options);
    cfsetispeed(&options, speed);
    cfsetospeed(&options, speed);
    options.c_cflag |= (CLOCAL | CREAD);
    options.c_cflag &= ~PARENB;
    options.c_cflag &= ~CSTOPB;
    options.c_cflag &= ~CSIZE;
    options.c_cflag |= CS8;
    options.c_lflag &= ~(ICANON | ECHO | ECHOE | ISIG);
    options.c_oflag &= ~OPOST;
    tcsetattr(sd, TCSANOW, &options);

    ioctl(sd, TIOCMGET, &status);
    status |= TIOCM_DTR;
    status |= TIOCM_RTS;
    ioctl(sd, TIOCMSET, &status);

    // Let the line settle before the first transfer.
    usleep(10000);
}

int serial_available(void) {
    int count = 0;
    if (ioctl(sd, FIONREAD, &count) == -1) {
        fprintf(stderr, "Failed to get byte count on serial.\n");
        exit(-1);
    }
    return count + (held >= 0);
}

int serial_read_byte(void) {
    if (held >= 0) {
        c = (unsigned char)held;
        held = -1;
        return c;
    }
    // A failed read leaves c as it was, and that value is returned.
    [[maybe_unused]] ssize_t got = read(sd, &c, 1);
    return c;
}

int serial_peek(void) {
    unsigned char byte;
    if (held < 0 && read(sd, &byte, 1) == 1)
        held = byte;
    if (held >= 0)
        c = (unsigned char)held;
    return c;
}

void serial_flush(void) {
    while (serial_available())
        serial_read_byte();
}

// One write, not retried: the line protocol has no retry, a lost byte is the
// device's to notice. On the blocking descriptor a tty write returns once
// every byte is queued, however long the text (a 1 MiB command is tested);
// only a signal handler could cut it short, and the bridge installs none.
static void put(const void *bytes, size_t n) {
    [[maybe_unused]] ssize_t written = write(sd, bytes, n);
}

void serial_print(unsigned char byte) {
    put(&byte, 1);
}

void serial_print_string(const char *text) {
    put(text, strlen(text));
}

void serial_end(void) {
    close(sd);
    sd = -1;
    held = -1;
}
