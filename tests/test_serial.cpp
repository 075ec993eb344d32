#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "pty_line.h"
#include "serial.h"

using namespace std::chrono_literals;

// A Linux pty forces CS8, no parity and CREAD whatever it is given, so the
// port can't show whether the module asked for them. The settings are
// caught on their way to the driver instead: this executable is linked with
// --wrap=tcsetattr.
extern "C" int __real_tcsetattr(int fd, int action, const struct termios *t);
static std::optional<struct termios> requested;
static int requested_action = -1;
extern "C" int __wrap_tcsetattr(int fd, int action, const struct termios *t) {
    if (fd == sd) {
        requested = *t;
        requested_action = action;
    }
    return __real_tcsetattr(fd, action, t);
}

namespace {

using Duration = std::chrono::milliseconds;

// The device end of the line is the pty master; serial_begin opens the slave
// by its path, as the bridge opens /dev/ttyATH0.
class SerialTest : public ::testing::Test {
  protected:
    void TearDown() override {
        if (sd >= 0)
            serial_end();
    }
    void device_writes(const std::string &bytes) {
        ASSERT_TRUE(simfw::write_all(pty.master, bytes, 1s));
    }
    // Waits until the line holds N bytes for the bridge to read.
    ::testing::AssertionResult waiting(int n) {
        int count = 0;
        for (auto end = std::chrono::steady_clock::now() + 2s;
             std::chrono::steady_clock::now() < end; std::this_thread::sleep_for(5ms)) {
            ioctl(pty.slave, FIONREAD, &count);
            if (count >= n)
                return ::testing::AssertionSuccess();
        }
        return ::testing::AssertionFailure() << count << " of " << n << " bytes arrived";
    }
    // What the device receives within TIMEOUT.
    std::string device_reads(Duration timeout) {
        return simfw::read_bytes(pty.master, SIZE_MAX, timeout);
    }
    simfw::PtyPair pty = simfw::PtyPair::open(); // raw, 115200 baud
    const std::string &path = pty.slave_path;
};

TEST(SerialSpeed, TableAndFallback) {
    const struct {
        int baud;
        speed_t constant;
    } cases[] = {
        {50, B50},         {75, B75},       {110, B110},       {134, B134},     {150, B150},
        {200, B200},       {300, B300},     {600, B600},       {1200, B1200},   {1800, B1800},
        {2400, B2400},     {9600, B9600},   {19200, B19200},   {38400, B38400}, {57600, B57600},
        {115200, B115200}, {4800, B230400}, {230400, B230400}, {0, B230400},    {-9600, B230400},
        {115201, B230400},
    };
    for (const auto &c : cases)
        EXPECT_EQ(serial_speed(c.baud), c.constant) << c.baud << " baud";
}

TEST_F(SerialTest, RequestedSpeedReachesThePort) {
    const struct {
        int baud;
        speed_t constant;
    } cases[] = {{9600, B9600}, {115200, B115200}, {4800, B230400}}; // the pty starts at 115200
    for (const auto &c : cases) {
        serial_begin(path.c_str(), c.baud);
        struct termios t;
        ASSERT_EQ(tcgetattr(sd, &t), 0);
        EXPECT_EQ(cfgetispeed(&t), c.constant) << c.baud << " baud";
        EXPECT_EQ(cfgetospeed(&t), c.constant) << c.baud << " baud";
        serial_end();
    }
}

TEST_F(SerialTest, OpensRawEightNOneWithBlockingReads) {
    // Start from a cooked line with two stop bits (the pty keeps those, unlike
    // CS7 and parity) so that serial_begin has something to change.
    struct termios t;
    ASSERT_EQ(tcgetattr(pty.slave, &t), 0);
    t.c_cflag = (t.c_cflag & ~(CSIZE | CLOCAL | CREAD)) | CS7 | PARENB | CSTOPB;
    t.c_lflag |= ICANON | ECHO | ECHOE | ISIG;
    t.c_oflag |= OPOST;
    t.c_iflag |= ICRNL | IXON | IXOFF | IXANY;
    t.c_cflag |= CRTSCTS; // flow control left on by an earlier user of the port
    ASSERT_EQ(tcsetattr(pty.slave, TCSANOW, &t), 0);

    serial_begin(path.c_str(), 115200);
    ASSERT_TRUE(requested) << "serial_begin set no attributes";
    const struct termios &r = *requested;
    EXPECT_EQ(requested_action, TCSANOW);
    EXPECT_EQ(r.c_cflag & CSIZE, (tcflag_t)CS8);
    EXPECT_FALSE(r.c_cflag & PARENB);
    EXPECT_FALSE(r.c_cflag & CSTOPB);
    EXPECT_EQ(r.c_cflag & (CREAD | CLOCAL), (tcflag_t)(CREAD | CLOCAL));
    EXPECT_FALSE(r.c_lflag & (ICANON | ECHO | ECHOE | ISIG));
    EXPECT_FALSE(r.c_oflag & OPOST);
    EXPECT_FALSE(r.c_iflag & (ICRNL | IXON | ISTRIP)); // raw: bytes pass untranslated
    // No flow control: a write can't wait on CTS or an XOFF for good.
    EXPECT_FALSE(r.c_cflag & CRTSCTS);
    EXPECT_FALSE(r.c_iflag & (IXON | IXOFF | IXANY));
    EXPECT_EQ(r.c_cc[VMIN], 1);
    EXPECT_EQ(r.c_cc[VTIME], 0);
    EXPECT_EQ(cfgetispeed(&r), (speed_t)B115200);
    EXPECT_EQ(cfgetospeed(&r), (speed_t)B115200);

    // And the port really has them.
    ASSERT_EQ(tcgetattr(sd, &t), 0);
    EXPECT_EQ(t.c_cflag, r.c_cflag);
    EXPECT_EQ(t.c_lflag, r.c_lflag);
    EXPECT_EQ(t.c_oflag, r.c_oflag);
    EXPECT_EQ(t.c_iflag, r.c_iflag);
    EXPECT_EQ(cfgetispeed(&t), (speed_t)B115200);
    // Writes wait for the line in poll() (reads still wait for a byte:
    // ReadBlocksUntilAByteArrives).
    EXPECT_TRUE(fcntl(sd, F_GETFL) & O_NONBLOCK);
}

TEST_F(SerialTest, ReadBlocksUntilAByteArrives) {
    serial_begin(path.c_str(), 115200);
    // Shared with the reader, which outlives this test if the read never ends.
    auto result = std::make_shared<std::promise<int>>();
    std::future<int> byte = result->get_future();
    std::thread reader([result] { result->set_value(serial_read_byte()); });

    EXPECT_EQ(byte.wait_for(300ms), std::future_status::timeout)
        << "serial_read_byte returned with nothing on the line";
    device_writes("k");
    if (byte.wait_for(2s) != std::future_status::ready) {
        reader.detach();
        FAIL() << "serial_read_byte still blocked after a byte arrived";
    }
    reader.join();
    EXPECT_EQ(byte.get(), 'k');
    EXPECT_EQ(c, 'k');
}

TEST_F(SerialTest, FlushReturnsAtOnceOnAQuietLine) {
    serial_begin(path.c_str(), 115200);
    auto start = std::chrono::steady_clock::now();
    serial_flush();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 100ms);
    EXPECT_EQ(serial_available(), 0);
}

TEST_F(SerialTest, FlushDiscardsWhatIsWaiting) {
    serial_begin(path.c_str(), 115200);
    device_writes("abc");
    ASSERT_TRUE(waiting(3));
    serial_flush();
    EXPECT_EQ(serial_available(), 0);
    EXPECT_EQ(c, 'c');
    device_writes("z");
    ASSERT_TRUE(waiting(1));
    EXPECT_EQ(serial_read_byte(), 'z');
}

TEST_F(SerialTest, PrintWritesExactlyTheTextBytes) {
    serial_begin(path.c_str(), 115200);
    serial_print_string("");
    EXPECT_EQ(device_reads(100ms), "") << "an empty text put bytes on the line";
    serial_print_string("LED ON\n");
    serial_print('#');
    EXPECT_EQ(device_reads(200ms), "LED ON\n#"); // no terminator, no CR added
}

TEST_F(SerialTest, EveryByteValueCrossesBothWays) {
    serial_begin(path.c_str(), 115200);
    std::string all;
    for (int b = 0; b < 256; b++)
        all += static_cast<char>(b);

    device_writes(all);
    ASSERT_TRUE(waiting(256));
    EXPECT_EQ(serial_available(), 256);
    std::string received;
    for (int i = 0; i < 256; i++)
        received += static_cast<char>(serial_read_byte());
    EXPECT_EQ(received, all);

    for (unsigned char b : all)
        serial_print(b);
    EXPECT_EQ(device_reads(200ms), all);
}

TEST_F(SerialTest, PeekHoldsTheByteForTheNextRead) {
    serial_begin(path.c_str(), 115200);
    device_writes("xy");
    ASSERT_TRUE(waiting(2));
    EXPECT_EQ(serial_peek(), 'x');
    EXPECT_EQ(c, 'x');
    EXPECT_EQ(serial_available(), 2) << "the held byte counts as waiting";
    EXPECT_EQ(serial_peek(), 'x') << "a second peek must not consume";
    EXPECT_EQ(serial_read_byte(), 'x');
    EXPECT_EQ(serial_read_byte(), 'y');
    EXPECT_EQ(serial_available(), 0);
}

TEST_F(SerialTest, FlushDiscardsAPeekedByte) {
    serial_begin(path.c_str(), 115200);
    device_writes("p");
    ASSERT_TRUE(waiting(1));
    EXPECT_EQ(serial_peek(), 'p');
    serial_flush();
    EXPECT_EQ(serial_available(), 0);
    device_writes("q");
    ASSERT_TRUE(waiting(1));
    EXPECT_EQ(serial_read_byte(), 'q');
}

// The caller decides what a missing device means (main exits 1; a reopen
// tries again), so only serial_begin says so.
TEST(SerialOpen, MissingDeviceIsReportedToTheCaller) {
    for (const char *device : {"/nonexistent/ttyATH0", "./no-such-serial-device"}) {
        testing::internal::CaptureStderr();
        EXPECT_FALSE(serial_begin(device, 115200)) << device;
        EXPECT_FALSE(serial_open(device, 115200)) << device;
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  std::string("Unable to open the serial port ") + device + "\n");
    }
}

// A path that is not a terminal opens but takes no line settings: refused,
// with the reason, and nothing is left open.
TEST(SerialOpen, NotATerminalIsRefused) {
    testing::internal::CaptureStderr();
    EXPECT_FALSE(serial_begin("/dev/null", 115200));
    EXPECT_EQ(sd, -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              std::string("Unable to set up the serial port /dev/null: ") + strerror(ENOTTY) +
                  "\n");
}

// The device end closes (an adapter unplugged): the first look at the line
// fails with one line on stderr, and from then on nothing blocks or touches
// the line, however often it is asked, until a port is opened again.
TEST_F(SerialTest, AHungUpLineFailsOnceAndThenStaysQuiet) {
    ASSERT_TRUE(serial_begin(path.c_str(), 115200));
    ::close(pty.master);
    pty.master = -1;
    testing::internal::CaptureStderr();
    EXPECT_EQ(serial_available(), 0);
    EXPECT_TRUE(serial_line_failed());
    auto start = std::chrono::steady_clock::now();
    serial_read_byte();
    serial_flush();
    serial_print_string("#\n");
    EXPECT_EQ(serial_available(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 100ms);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Failed to get byte count on serial.\n");

    serial_end();
    simfw::PtyPair next = simfw::PtyPair::open();
    ASSERT_TRUE(serial_open(next.slave_path.c_str(), 115200));
    EXPECT_FALSE(serial_line_failed());
    ASSERT_TRUE(simfw::write_all(next.master, "r", 1s));
    EXPECT_EQ(serial_read_byte(), 'r');
}

// Once a stop is under way a write never waits for the line: what it takes
// at once goes out, the rest is given up with one line, even for a write
// already waiting when the stop came.
TEST_F(SerialTest, AStopCutsAWaitingWriteShort) {
    ASSERT_TRUE(serial_begin(path.c_str(), 115200));
    std::thread stop([] {
        std::this_thread::sleep_for(300ms);
        serial_stop_waiting();
    });
    testing::internal::CaptureStdout();
    auto start = std::chrono::steady_clock::now();
    serial_write(std::string(1 << 20, 'x').data(), 1 << 20, NULL); // nobody reads the line
    auto took = std::chrono::steady_clock::now() - start;
    std::string out = testing::internal::GetCapturedStdout();
    stop.join();
    EXPECT_GE(took, 300ms);
    EXPECT_LT(took, 1s) << "the write went on waiting";
    size_t arrived = device_reads(200ms).size();
    EXPECT_GT(arrived, 0u);
    EXPECT_EQ(out, "SERIAL WRITE CUT SHORT: " + std::to_string((1 << 20) - arrived) +
                       " BYTES NOT WRITTEN\n");
}

} // namespace
