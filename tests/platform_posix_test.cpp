#include "platform_posix.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <string>
#include <thread>
#include <tuple>

#include "console.h"
#include "platform.h"

namespace {

// A signal every 200 microseconds, with a handler that does not restart
// interrupted calls, so that writes and sleeps keep being cut short.
class Interruptions {
  public:
    Interruptions() {
        struct sigaction action = {};
        action.sa_handler = [](int) {};
        sigaction(SIGALRM, &action, &saved_);
        const itimerval every = {{0, 200}, {0, 200}};
        setitimer(ITIMER_REAL, &every, nullptr);
    }
    ~Interruptions() {
        const itimerval off = {};
        setitimer(ITIMER_REAL, &off, nullptr);
        sigaction(SIGALRM, &saved_, nullptr);
    }

  private:
    struct sigaction saved_ = {};
};

// A descriptor sent to another for the length of a scope, then put back as
// it was: closed, where it was closed (or where to took its place).
class Redirect {
  public:
    Redirect(int fd, int to) : fd_(fd), saved_(to == fd ? -1 : dup(fd)) {
        if (to != fd) dup2(to, fd);
    }
    ~Redirect() {
        if (saved_ >= 0) {
            dup2(saved_, fd_);
            close(saved_);
        } else {
            close(fd_);
        }
    }
    Redirect(const Redirect&) = delete;
    Redirect& operator=(const Redirect&) = delete;

  private:
    int fd_;
    int saved_;
};

// Standard input taken from a pipe for the length of a test.
class PipedInput {
  public:
    PipedInput() : input_(STDIN_FILENO, open_pipe(ends_)) {
        if (ends_[0] != STDIN_FILENO) close(ends_[0]);  // with none, the pipe is standard input
    }
    ~PipedInput() { close_writer(); }
    void type(const char* keys) {
        EXPECT_EQ(write(ends_[1], keys, std::strlen(keys)),
                  static_cast<ssize_t>(std::strlen(keys)));
    }
    void close_writer() {
        if (ends_[1] >= 0) close(ends_[1]);
        ends_[1] = -1;
    }

  private:
    static int open_pipe(int (&ends)[2]) {
        EXPECT_EQ(pipe(ends), 0);
        return ends[0];
    }
    int ends_[2] = {-1, -1};  // before input_, which takes its reading end
    Redirect input_;
};

// Standard output sent to another descriptor for the length of a test.
struct OutputTo : Redirect {
    explicit OutputTo(int fd) : Redirect(STDOUT_FILENO, fd) {}
};

}  // namespace

TEST(RenderDecimal, WritesUnsignedDigitsWithoutLeadingZeros) {
    for (const auto& [value, digits] : {std::pair<std::uint32_t, const char*>{0, "0"},
                                        {7, "7"},
                                        {10, "10"},
                                        {42949672, "42949672"},
                                        {4294001000u, "4294001000"},
                                        {4294967295u, "4294967295"}}) {
        char buffer[NUMBER_BUFFER_SIZE];
        std::memset(buffer, '#', sizeof buffer);
        render_decimal(value, buffer);
        EXPECT_STREQ(buffer, digits);
    }
    char buffer[NUMBER_BUFFER_SIZE];
    EXPECT_STREQ(_ultoa(255, buffer, 16), "ff");
}

// The pipe non-blocking, its reader late and slow: every write that would
// block is waited out.
TEST(WriteFile, HandsOverEveryByteThroughShortInterruptedAndWouldBlockWrites) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    ASSERT_EQ(fcntl(ends[1], F_SETFL, O_NONBLOCK), 0);
    std::string sent(4 << 20, '\0');
    for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<char>(i * 7 + i / 4096);
    std::string received;
    std::thread reader([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        char chunk[1000];
        ssize_t count;
        while ((count = read(ends[0], chunk, sizeof chunk)) != 0) {
            if (count > 0) received.append(chunk, static_cast<std::size_t>(count));
        }
    });
    DWORD written = 0;
    BOOL ok;
    {
        OutputTo pipe_end(ends[1]);
        Interruptions interruptions;
        ok = WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), sent.data(),
                       static_cast<DWORD>(sent.size()), &written, nullptr);
    }
    close(ends[1]);
    reader.join();
    close(ends[0]);
    EXPECT_TRUE(ok);
    EXPECT_EQ(written, sent.size());
    EXPECT_TRUE(received == sent);
}

// The failure and its reason, as the tool reports them: a reader gone (with
// SIGPIPE ignored, as a parent may leave it) is a broken pipe, as on Windows.
TEST(WriteFile, ReportsAFailureWithItsReason) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    close(ends[0]);
    const int full = open("/dev/full", O_WRONLY);
    ASSERT_GE(full, 0);
    char reason[100];
    DWORD written = 1;
    {
        const auto before = std::signal(SIGPIPE, SIG_IGN);
        OutputTo pipe_end(ends[1]);
        EXPECT_FALSE(WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "lost", 4, &written, nullptr));
        std::signal(SIGPIPE, before);
    }
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(GetLastError(), ERROR_BROKEN_PIPE);
    {
        OutputTo device(full);
        EXPECT_FALSE(WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "lost", 4, &written, nullptr));
    }
    EXPECT_GT(FormatMessageA(0, nullptr, GetLastError(), 0, reason, sizeof reason, nullptr), 0u);
    EXPECT_STREQ(reason, "No space left on device");
    close(ends[1]);
    close(full);
}

TEST(Sleep, ItsDeadlineCarriesWholeSecondsAndNanoseconds) {
    for (const auto& [now, milliseconds, later] :
         {std::tuple<timespec, DWORD, timespec>{{5, 0}, 3000, {8, 0}},
          {{5, 999999999}, 1, {6, 999999}},
          {{5, 999999999}, 1500, {7, 499999999}},
          {{5, 1}, 4294967295u, {4294972, 295000001}}}) {
        const timespec got = time_after(now, milliseconds);
        EXPECT_EQ(got.tv_sec, later.tv_sec) << milliseconds;
        EXPECT_EQ(got.tv_nsec, later.tv_nsec) << milliseconds;
    }
}

TEST(Sleep, LastsTheWholeTimeWhateverSignalsArrive) {
    Interruptions interruptions;
    const auto start = std::chrono::steady_clock::now();
    Sleep(30);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
}

// A key wait with an empty prompt, so nothing shows in the test's output.
void wait_silently() {
    static constexpr fixed_text NO_PROMPT{""};
    wait_for_key(NO_PROMPT.bytes);
}

TEST(Keys, ComeFromAPipeOneByteAtATimeAndEndOfInputEndsTheWait) {
    PipedInput input;
    input.type("ab");
    // A pipe is no console: nothing it holds is discarded, a wait takes one byte.
    HANDLE const console =
        CreateFileA("CONIN$", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(console, GetStdHandle(STD_INPUT_HANDLE));
    EXPECT_FALSE(FlushConsoleInputBuffer(console));
    wait_silently();
    EXPECT_EQ(_getch(), 'b');
    input.close_writer();
    EXPECT_NE(_kbhit(), 0);
    EXPECT_EQ(_getch(), -1);
    wait_silently();  // returns at once at end of input
}

// Input that poll never reports ready, though a read ends at once: a FIFO
// that never had a writer, and a listening socket.
TEST(Keys, InputThatCanNeverDeliverAKeyEndsTheWaitAtOnce) {
    char folder[] = "/tmp/div100-keys-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string fifo = std::string(folder) + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int no_writer = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    fcntl(no_writer, F_SETFL, 0);
    const int listening = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in loopback = {};
    loopback.sin_family = AF_INET;
    loopback.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listening, reinterpret_cast<sockaddr*>(&loopback), sizeof loopback), 0);
    ASSERT_EQ(listen(listening, 1), 0);
    for (const int input : {no_writer, listening}) {
        const Redirect to(STDIN_FILENO, input);
        wait_silently();
        close(input);
    }
    unlink(fifo.c_str());
    rmdir(folder);
}

// From nice 5: as root, high is -5; without the right to raise it (root
// gives it up here, as any other user lacks it), the refused raise fails and
// leaves the priority at 5. Normal is 5 again either way.
TEST(SetPriorityClass, HighIsTenBelowTheStartingNiceValueAndNormalIsThatValue) {
    for (const bool may_raise : {true, false}) {
        if (may_raise && geteuid() != 0) continue;
        EXPECT_EXIT(
            {
                setpriority(PRIO_PROCESS, 0, 5);
                if (!may_raise && geteuid() == 0 && setuid(65534) != 0) std::exit(2);
                const bool high = SetPriorityClass(GetCurrentProcess(), HIGH_PRIORITY_CLASS);
                const int at_high = getpriority(PRIO_PROCESS, 0);
                const bool normal = SetPriorityClass(GetCurrentProcess(), NORMAL_PRIORITY_CLASS);
                const int at_normal = getpriority(PRIO_PROCESS, 0);
                const bool raised = may_raise ? high && at_high == -5 : !high && at_high == 5;
                std::exit(raised && normal && at_normal == 5 ? 0 : 1);
            },
            testing::ExitedWithCode(0), "")
            << (may_raise ? "as root" : "without the right to raise it");
    }
}
