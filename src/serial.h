// The serial port: one POSIX serial device per process, with operations
// named after a microcontroller serial interface. serial_peek, serial_print
// and serial_end complete that interface; the bridge itself does not call
// them.
//
// After start-up only the serial exchange thread reads and writes the port.
// The module itself has no lock.
#ifndef BRIDGE_SERIAL_H
#define BRIDGE_SERIAL_H

#include <pthread.h>
#include <stddef.h>
#include <termios.h>

// sd is set by serial_begin on the main thread before the exchange thread
// starts, then only read; c is written by every read, so by the exchange
// thread after start-up; status is used by serial_begin alone.
extern int sd;          // descriptor of the open serial device
extern unsigned char c; // the byte most recently read, peeked or flushed
extern int status;      // modem-control bits, read and written back by serial_begin

// The termios speed constant for a rate in baud; rates not in the table
// (4800 among them) give B230400.
speed_t serial_speed(int baud);

// Opens DEVICE (a relative path is resolved against the working directory)
// raw at 8N1 with no flow control (CRTSCTS, IXON, IXOFF, IXANY cleared) and
// DTR and RTS raised. The descriptor is non-blocking; the functions below
// wait for the line in poll(). On failure
// prints "Unable to open the serial port DEVICE" on stderr and exits 1.
void serial_begin(const char *device, int baud);

// Number of bytes waiting, a byte held by serial_peek included. Exits with
// status -1 after one line on stderr when the driver can't tell.
int serial_available(void);

// Reads one byte into `c` and returns it (0..255); blocks until one arrives.
// A byte held by serial_peek is returned first. A failed read returns the
// previous `c`.
int serial_read_byte(void);

// Returns the next byte without consuming it, waiting for one if none is
// waiting, and stores it in `c`. The byte is held by the module: the next
// serial_read_byte returns it, serial_flush discards it, and
// serial_available counts it.
int serial_peek(void);

// Reads and discards bytes while any are waiting.
void serial_flush(void);

// Writes N bytes, in as many pieces as the line takes, waiting for it to
// drain in between with LOCK (when not null, held by the caller) released,
// so that a long write holds up no other thread. A write that makes no
// progress for 10 s (a device that stopped reading) is given up with
// "SERIAL WRITE STALLED: <n> BYTES NOT WRITTEN"; a write error ends it
// silently.
void serial_write(const void *bytes, size_t n, pthread_mutex_t *lock);

// Writes one byte (serial_write without a lock).
void serial_print(unsigned char byte);

// Writes the text's bytes, terminator excluded (serial_write without a
// lock).
void serial_print_string(const char *text);

// Closes the port.
void serial_end(void);

#endif
