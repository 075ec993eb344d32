// The serial port: one POSIX serial device per process, with operations
// named after a microcontroller serial interface. serial_peek, serial_print
// and serial_end complete that interface; the bridge itself does not call
// them.
//
// After start-up only the serial exchange thread reads and writes the port
// (serial_stop_waiting excepted: any thread). The module itself has no
// lock.
#ifndef BRIDGE_SERIAL_H
#define BRIDGE_SERIAL_H

#include <pthread.h>
#include <stdbool.h>
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
// wait for the line in poll(). False when DEVICE can't be opened, after
// "Unable to open the serial port DEVICE" on stderr, or is not a terminal
// or refuses the settings, after "Unable to set up the serial port DEVICE:
// <reason>" (the port is closed again); the caller decides what follows (at
// start-up, exit status 1).
bool serial_begin(const char *device, int baud);

// serial_begin without its line on stderr: reopening a device that is
// gone fails quietly, once a second.
bool serial_open(const char *device, int baud);

// A failed line: the byte count or a read or a write failed, or a wait saw
// the line hang up (a USB adapter unplugged, a pty whose master closed).
// The first failure prints its line on stderr ("Failed to get byte count on
// serial." and the like); from then until the next serial_open the
// functions below neither touch the line nor block: serial_available
// returns 0, a read returns `c`, a write writes nothing. What follows (a
// stop, a reopen) is the caller's to decide: no function here exits.
bool serial_line_failed(void);

// A wait on the line saw it hang up (POLLHUP or POLLERR without data): the
// line fails as above, with "Serial port hung up.".
void serial_hung_up(void);

// Any thread: from now on a write never waits for the line. What the line
// takes at once is written, the rest given up with "SERIAL WRITE CUT SHORT:
// <n> BYTES NOT WRITTEN", and a write already waiting stops within 100 ms.
// A stopping bridge must be gone before procd's SIGKILL, whatever the line
// does.
void serial_stop_waiting(void);

// Number of bytes waiting, a byte held by serial_peek included; 0 once the
// line has failed (its first failure here is "Failed to get byte count on
// serial.").
int serial_available(void);

// Reads one byte into `c` and returns it (0..255); blocks until one arrives.
// A byte held by serial_peek is returned first. A failed read returns the
// previous `c`, and the line has failed.
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
// "SERIAL WRITE STALLED: <n> BYTES NOT WRITTEN"; after serial_stop_waiting
// it is cut short instead; a write error fails the line.
void serial_write(const void *bytes, size_t n, pthread_mutex_t *lock);

// Writes one byte (serial_write without a lock).
void serial_print(unsigned char byte);

// Writes the text's bytes, terminator excluded (serial_write without a
// lock).
void serial_print_string(const char *text);

// Closes the port; a failed line stays failed until serial_open.
void serial_end(void);

#endif
