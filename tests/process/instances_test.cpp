// The bound on programs at once: VELTO_MAX_INSTANCES=N makes a program wait while N others of
// the same user (started with the same N) hold the slots, and serve as soon as one frees. The
// test takes the slots itself, as the program does, by binding their abstract socket names.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "velto.h"

namespace {

using namespace velto_test;

// Counts that no shipped configuration uses, so that servers of other tests never share their
// slots; one for each test, as the tests may run at once.
constexpr int COUNT = 3;
constexpr int COUNT_ENDED = 5;
const std::string HEALTH = response(200, R"({"status":"ok","format_count":0,"atom_count":0})");

// Holds slot `slot` of `count` as a program would; -1 when another process holds it.
int take_slot(int count, int slot) {
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    int length = std::snprintf(address.sun_path + 1, sizeof address.sun_path - 1,
                               "velto-instance/%u/%d/%d", ::geteuid(), count, slot);
    auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + length);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), size) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

run_options deadline(int seconds) {
    run_options options;
    options.deadline_seconds = seconds;
    return options;
}

class Instances : public ::testing::Test {
  protected:
    environment health_request(const std::string& count) {
        return {{"REQUEST_METHOD", "GET"},
                {"PATH_INFO", "/v1/health"},
                {"VELTO_DATA_DIR", store_.path().string()},
                {"VELTO_MAX_INSTANCES", count}};
    }
    temp_dir store_;
};

TEST_F(Instances, AProgramWaitsWhileEverySlotIsTakenAndServesOnceOneFrees) {
    std::vector<int> slots;
    for (int slot = 0; slot < COUNT; slot++) {
        slots.push_back(take_slot(COUNT, slot));
        ASSERT_GE(slots.back(), 0) << "slot " << slot << " is taken by another process";
    }
    std::atomic<bool> done{false};
    process_result result;
    std::thread program([&] {
        result = run_cgi(health_request(std::to_string(COUNT)), "", deadline(30));
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_FALSE(done) << "the program served while every slot was taken";
    ::close(slots[1]);
    auto freed = std::chrono::steady_clock::now();
    program.join();
    EXPECT_LT(std::chrono::steady_clock::now() - freed, std::chrono::seconds(2));
    EXPECT_EQ(result.out, HEALTH);
    EXPECT_EQ(result.exit_status, 0);
    // The program's slot went with it: the test takes the freed slot again.
    int again = take_slot(COUNT, 1);
    EXPECT_GE(again, 0);
    ::close(again);
    ::close(slots[0]);
    ::close(slots[2]);
}

TEST_F(Instances, AWaitingProgramEndedByTheServerLeavesNoAnswer) {
    std::vector<int> slots;
    for (int slot = 0; slot < COUNT_ENDED; slot++) slots.push_back(take_slot(COUNT_ENDED, slot));
    process_result result = run_cgi(health_request(std::to_string(COUNT_ENDED)), "", deadline(1));
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.exit_status, -1);
    for (int fd : slots) ::close(fd);
}

TEST_F(Instances, ValuesThatAreNoCountSetNoBound) {
    // Slot 0 of a count of 1 taken: a program with that bound would wait.
    int held = take_slot(1, 0);
    ASSERT_GE(held, 0);
    for (const char* value : {"", "0", "abc", "2x", "-1", "4097", "99999999999999999999"}) {
        SCOPED_TRACE(value);
        process_result result = run_cgi(health_request(value), "", deadline(10));
        EXPECT_EQ(result.out, HEALTH);
    }
    process_result bounded = run_cgi(health_request("1"), "", deadline(1));
    EXPECT_EQ(bounded.out, "") << "a count of 1 with its slot taken must wait";
    ::close(held);
}

}  // namespace
