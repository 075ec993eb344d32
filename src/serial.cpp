#include "serial.h"

#include <atomic>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

int sd = -1;
unsigned char c;
int status;

// A write that has made no progress for this long is given up: the device
// stopped reading, and the line must not hold the exchange for good.
#define WRITE_STALL_MS 10000

// While a write may not wait (serial_stop_waiting), its waits for the line
// are this short, so that a wait begun before is over soon after.
#define WRITE_WAIT_SLICE_MS 100

// A byte taken by serial_peek that the descriptor can't take back; -1 when
// none is held.
static int held = -1;

// Set at the line's first failure, cleared when serial_open opens it again.
// The thread that uses the port only.
static bool failed;

// Set by serial_stop_waiting from another thread while a write may be
// waiting.
static std::atomic<bool> no_waiting;

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

// Raises DTR and RTS. A port without modem-control lines (a pty, some USB
// adapters) refuses the requests with ENOTTY or EINVAL: it has nothing to
// raise, so that is no failure.
static bool raise_modem_lines(void) {
    if (ioctl(sd, TIOCMGET, &status) == -1)
        return errno == ENOTTY || errno == EINVAL;
    status |= TIOCM_DTR;
    status |= TIOCM_RTS;
    return ioctl(sd, TIOCMSET, &status) == 0;
}

// Sets the open port raw at 8N1 with no flow control; false, with errno
// set, when it is not a terminal or refuses the settings.
static bool configure_port(speed_t speed) {
    struct termios options;
    // Kept non-blocking: a write waits for the line in poll(), where it can
    // give up and let others run (serial_write); a read waits there too.
    if (fcntl(sd, F_SETFL, O_RDWR | O_NONBLOCK) == -1 || tcgetattr(sd, &options) == -1)
        return false;
    cfmakeraw(&options);
    if (cfsetispeed(&options, speed) == -1 || cfsetospeed(&options, speed) == -1)
        return false;
    options.c_cflag |= (CLOCAL | CREAD);
    options.c_cflag &= ~PARENB;
    options.c_cflag &= ~CSTOPB;
    options.c_cflag &= ~CSIZE;
    options.c_cflag |= CS8;
    // No flow control, whatever the port had before: a device that holds
    // CTS low or sends XOFF would stop every write for good.
    options.c_cflag &= ~CRTSCTS;
    options.c_iflag &= ~(IXON | IXOFF | IXANY);
    options.c_lflag &= ~(ICANON | ECHO | ECHOE | ISIG);
    options.c_oflag &= ~OPOST;
    return tcsetattr(sd, TCSANOW, &options) == 0 && raise_modem_lines();
}

// Why the last serial_open failed: 0 when the device could not be opened,
// otherwise the errno of the setting that failed.
static int setup_errno;

bool serial_open(const char *device, int baud) {
    setup_errno = 0;
    sd = open(device, O_RDWR | O_NOCTTY | O_NDELAY);
    if (sd == -1)
        return false;
    if (!configure_port(serial_speed(baud))) {
        setup_errno = errno;
        close(sd);
        sd = -1;
        return false;
    }
    failed = false;
    held = -1;
    // Let the line settle before the first transfer.
    usleep(10000);
    return true;
}

bool serial_begin(const char *device, int baud) {
    if (serial_open(device, baud))
        return true;
    if (setup_errno)
        fprintf(stderr, "Unable to set up the serial port %s: %s\n", device, strerror(setup_errno));
    else
        fprintf(stderr, "Unable to open the serial port %s\n", device);
    return false;
}

// The line's first failure: its line on stderr, then nothing more is asked
// of the line until it is opened again.
static void line_failed(const char *why) {
    if (failed)
        return;
    failed = true;
    fprintf(stderr, "%s\n", why);
}

bool serial_line_failed(void) {
    return failed;
}

void serial_hung_up(void) {
    line_failed("Serial port hung up.");
}

void serial_stop_waiting(void) {
    no_waiting = true;
}

int serial_available(void) {
    int count = 0;
    if (failed)
        return 0;
    if (ioctl(sd, FIONREAD, &count) == -1) {
        line_failed("Failed to get byte count on serial.");
        return 0;
    }
    return count + (held >= 0);
}

// Waits until the line has a byte to read.
static void wait_readable(void) {
    struct pollfd fd = {sd, POLLIN, 0};
    poll(&fd, 1, -1);
}

// Reads one byte into BYTE, waiting for it; false when the read fails (the
// line has failed then).
static bool read_one(unsigned char *byte) {
    while (!failed) {
        ssize_t got = read(sd, byte, 1);
        if (got == 1)
            return true;
        if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            line_failed("Failed to read from serial.");
            break;
        }
        wait_readable();
    }
    return false;
}

int serial_read_byte(void) {
    if (held >= 0) {
        c = (unsigned char)held;
        held = -1;
        return c;
    }
    // A failed read leaves c as it was, and that value is returned.
    read_one(&c);
    return c;
}

int serial_peek(void) {
    unsigned char byte;
    if (held < 0 && read_one(&byte))
        held = byte;
    if (held >= 0)
        c = (unsigned char)held;
    return c;
}

void serial_flush(void) {
    while (serial_available())
        serial_read_byte();
}

static long long monotonic_ms(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000LL + t.tv_nsec / 1000000;
}

// Waits up to MS for the line to take more, with LOCK (if any) released
// meanwhile. A line that hangs up wakes the wait; the next write fails.
static void wait_writable(long long ms, pthread_mutex_t *lock) {
    struct pollfd fd = {sd, POLLOUT, 0};
    if (ms > WRITE_WAIT_SLICE_MS)
        ms = WRITE_WAIT_SLICE_MS;
    if (lock)
        pthread_mutex_unlock(lock);
    poll(&fd, 1, (int)ms);
    if (lock)
        pthread_mutex_lock(lock);
}

// The line protocol has no retry: a byte lost to a failed write is the
// device's to notice, and a line that fails is not written again.
void serial_write(const void *bytes, size_t n, pthread_mutex_t *lock) {
    const char *p = (const char *)bytes;
    long long progress_at = monotonic_ms();
    while (n > 0 && !failed) {
        ssize_t written = write(sd, p, n);
        if (written > 0) {
            p += written;
            n -= (size_t)written;
            progress_at = monotonic_ms();
            continue;
        }
        if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            line_failed("Failed to write to serial.");
            return;
        }
        if (no_waiting) {
            printf("SERIAL WRITE CUT SHORT: %zu BYTES NOT WRITTEN\n", n);
            return;
        }
        long long left = progress_at + WRITE_STALL_MS - monotonic_ms();
        if (left <= 0) {
            printf("SERIAL WRITE STALLED: %zu BYTES NOT WRITTEN\n", n);
            return;
        }
        wait_writable(left, lock);
    }
}

void serial_print(unsigned char byte) {
    serial_write(&byte, 1, NULL);
}

void serial_print_string(const char *text) {
    serial_write(text, strlen(text), NULL);
}

void serial_end(void) {
    close(sd);
    sd = -1;
    held = -1;
}
