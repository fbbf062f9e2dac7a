// The base layer's whole reads and writes: a signal that interrupts a blocked read or write, and
// a write that a full pipe cuts short, must cost nothing; a body read once is read whole.
#include "base/io.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

namespace {

std::atomic<int> deliveries{0};

extern "C" void count_delivery(int) {
    deliveries++;
}

// SIGUSR1 with a handler and without SA_RESTART, so that a blocked read or write returns EINTR
// (or the count of bytes it moved) when the signal arrives.
class Io : public ::testing::Test {
  protected:
    void SetUp() override {
        struct sigaction action = {};
        action.sa_handler = count_delivery;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;
        ASSERT_EQ(::sigaction(SIGUSR1, &action, &old_action_), 0);
        ::signal(SIGPIPE, SIG_IGN);
        ASSERT_EQ(::pipe(fds_), 0);
        deliveries = 0;
    }
    void TearDown() override {
        for (int fd : fds_) {
            if (fd >= 0) ::close(fd);
        }
        ::sigaction(SIGUSR1, &old_action_, nullptr);
    }
    static void interrupt(std::thread& thread) {
        ::pthread_kill(thread.native_handle(), SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    void close_end(int end) {
        ::close(fds_[end]);
        fds_[end] = -1;
    }

    int fds_[2] = {-1, -1};
    struct sigaction old_action_ = {};
};

TEST_F(Io, ReadUpToRetriesInterruptedReadsUntilFullOrEnded) {
    // The setup does interrupt: a plain read blocked on the empty pipe fails with EINTR.
    {
        std::atomic<bool> done{false};
        int error = 0;
        std::thread reader([&] {
            char byte;
            if (::read(fds_[0], &byte, 1) < 0) error = errno;
            done = true;
        });
        for (int i = 0; i < 1000 && !done; i++) interrupt(reader);
        reader.join();
        ASSERT_EQ(error, EINTR);
    }

    // The bytes come in pieces, with interruptions between them; the input then ends short of
    // the capacity asked for.
    std::string sent;
    for (int i = 0; i < 3000; i++) sent += static_cast<char>(i * 7);
    std::string received(sent.size() + 10, '\0');
    ssize_t count = -2;
    std::thread reader([&] { count = read_up_to(fds_[0], received.data(), received.size()); });
    for (std::size_t at = 0; at < sent.size(); at += 500) {
        for (int i = 0; i < 3; i++) interrupt(reader);
        ASSERT_EQ(::write(fds_[1], sent.data() + at, 500), 500);
    }
    close_end(1);
    reader.join();
    EXPECT_GT(deliveries, 0);
    ASSERT_EQ(count, static_cast<ssize_t>(sent.size()));
    received.resize(sent.size());
    EXPECT_EQ(received, sent);

    // A capacity reached stops the reading: nothing beyond it is taken.
    int more[2];
    ASSERT_EQ(::pipe(more), 0);
    ASSERT_EQ(::write(more[1], "abcdef", 6), 6);
    char head[4];
    EXPECT_EQ(read_up_to(more[0], head, sizeof head), 4);
    EXPECT_EQ(std::string(head, 4), "abcd");
    ::close(more[1]);
    EXPECT_EQ(read_up_to(more[0], head, sizeof head), 2);
    ::close(more[0]);
}

TEST_F(Io, WriteAllRetriesInterruptedAndShortWrites) {
    // Far more than the pipe holds: the writer blocks again and again, and each signal ends a
    // write early, with EINTR or with the part that fitted.
    std::string sent;
    for (int i = 0; i < (1 << 20); i++) sent += static_cast<char>(i * 13 + i / 251);
    bool is_written = false;
    std::thread writer([&] { is_written = write_all(fds_[1], sent); });
    std::string received;
    char buffer[32768];
    while (received.size() < sent.size()) {
        interrupt(writer);
        const ssize_t n = ::read(fds_[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        ASSERT_GT(n, 0);
        received.append(buffer, static_cast<std::size_t>(n));
    }
    writer.join();
    EXPECT_GT(deliveries, 0);
    EXPECT_TRUE(is_written);
    EXPECT_TRUE(received == sent) << received.size() << " bytes received";
}

TEST_F(Io, FailuresAreReported) {
    char byte;
    EXPECT_EQ(read_up_to(-1, &byte, 1), -1);
    EXPECT_TRUE(write_all(fds_[1], ""));
    close_end(0);
    // No reader: EPIPE, as SIGPIPE is ignored, the way the program runs.
    EXPECT_FALSE(write_all(fds_[1], "x"));
    EXPECT_FALSE(write_all(-1, "x"));
}

}  // namespace
