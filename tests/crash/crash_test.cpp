// Registrations killed with SIGKILL at random moments, large formats among them, then a check of
// the whole store: every format file is named by the ID of its content and holds a representation
// that was sent, every atom file and atom value file parses and holds a pair that was sent, no
// lookup answers "corrupt" or "read error", and the temporaries that the kills left behind are
// neither counted by the health report nor served by any lookup.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "process_test.h"

namespace fs = std::filesystem;
using namespace velto_test;

namespace {

constexpr char TEMP_PREFIX[] = ".velto~";
constexpr int KILLS_WANTED = 400;

struct request {
    std::string path;
    std::string body;
};

// A registration started with its body on standard input from a file, and sent SIGKILL after
// `delay`; true when the kill found it still running.
bool run_and_kill(const environment& env, const std::string& body_file,
                  std::chrono::microseconds delay) {
    process_launch launch = cgi_launch(env);
    launch.input_file = body_file;
    started_process registration(launch);
    std::this_thread::sleep_for(delay);
    const bool was_running = registration.signal(SIGKILL);
    return was_running && registration.wait().term_signal == SIGKILL;
}

class Crash : public process_test {
  protected:
    environment post_env(const request& r) const {
        environment env = cgi("POST", r.path);
        env["CONTENT_LENGTH"] = std::to_string(r.body.size());
        return env;
    }

    // Runs the request to its end and answers how long it took.
    std::chrono::microseconds timed_run(const request& r) {
        const auto start = std::chrono::steady_clock::now();
        const process_result result = run_cgi(post_env(r), r.body);
        EXPECT_EQ(result.out.substr(0, 15), "Status: 200 OK\r") << result.out;
        return std::chrono::duration_cast<std::chrono::microseconds>(
            std::chrono::steady_clock::now() - start);
    }
};

TEST_F(Crash, KilledRegistrationsLeaveAStoreThatReadsWhole) {
    // What is sent: formats of 16 bytes to 1 MiB, and atom pairs whose strings and atoms overlap,
    // so that kills land on files that already hold an earlier registration.
    std::vector<std::string> reps;
    for (unsigned seed = 0; seed < 3; seed++) reps.push_back(representation(1u << 20, seed));
    for (unsigned seed = 3; seed < 5; seed++) reps.push_back(representation(64u << 10, seed));
    for (unsigned seed = 5; seed < 8; seed++) reps.push_back(representation(16, seed));
    const std::vector<std::string> strings = {"alpha", "beta gamma", "\xce\xb4/\xff",
                                              std::string(200, 'z')};
    const std::vector<int> atoms = {0, 1, 2, 2147483647};

    std::vector<request> requests;
    for (const auto& rep : reps)
        requests.push_back({"/v1/formats", R"({"format_rep":")" + to_hex(rep) + R"("})"});
    std::map<int, std::set<std::string>> strings_of_atom;
    std::map<std::string, std::set<int>> atoms_of_string;
    for (const auto& string : strings) {
        for (int atom : atoms) {
            requests.push_back({"/v1/atoms", R"({"string":")" + string + R"(","atom":)" +
                                                 std::to_string(atom) + "}"});
            strings_of_atom[atom].insert(string);
            atoms_of_string[string].insert(atom);
        }
    }
    std::map<std::string, std::string> rep_of_id;
    for (const auto& rep : reps) rep_of_id[server_id(rep)] = rep;

    // How long each request runs when left alone, on a store of its own, bounds its kill delay.
    std::vector<std::string> body_files;
    std::vector<std::chrono::microseconds> durations;
    for (std::size_t i = 0; i < requests.size(); i++) {
        body_files.push_back((root_.path() / ("body" + std::to_string(i))).string());
        write_file(body_files.back(), requests[i].body);
    }
    {
        const std::string real_data = data_;
        data_ = (root_.path() / "timing").string();
        for (const auto& r : requests) durations.push_back(timed_run(r));
        data_ = real_data;
    }

    const unsigned seed = std::random_device{}();
    std::printf("crash test seed %u\n", seed);
    std::mt19937 random(seed);
    int kills = 0, finished = 0;
    // A ceiling, so that a machine where everything finishes before its kill still ends.
    for (int round = 0; kills < KILLS_WANTED && round < 4 * KILLS_WANTED; round++) {
        const std::size_t i = random() % requests.size();
        const auto limit = durations[i].count() + 200;
        const std::chrono::microseconds delay(
            std::uniform_int_distribution<long>(0, limit)(random));
        if (run_and_kill(post_env(requests[i]), body_files[i], delay)) {
            kills++;
        } else {
            finished++;
        }
    }
    std::printf("%d registrations killed, %d finished before their kill\n", kills, finished);
    EXPECT_GE(kills, KILLS_WANTED / 2);

    // The whole store, entry by entry.
    long temporaries = 0;
    std::set<std::string> stored_ids;
    for (const auto& entry : fs::directory_iterator(fs::path(data_) / "formats")) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(TEMP_PREFIX, 0) == 0) {
            temporaries++;
            continue;
        }
        const auto content = read_file(entry.path());
        ASSERT_TRUE(content) << name;
        EXPECT_EQ(server_id(*content), name);
        EXPECT_TRUE(rep_of_id.count(name) && rep_of_id[name] == *content) << name;
        stored_ids.insert(name);
    }
    long atom_files = 0;
    for (const auto& entry : fs::directory_iterator(fs::path(data_) / "atoms/s")) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(TEMP_PREFIX, 0) == 0) {
            temporaries++;
            continue;
        }
        const std::string string = unescape_store_name(name);
        const std::string content = read_file(entry.path()).value_or("");
        ASSERT_TRUE(atoms_of_string.count(string)) << name;
        const bool is_pair_sent = !content.empty() && content.back() == '\n' &&
                                  content.find_first_not_of("0123456789") == content.size() - 1 &&
                                  atoms_of_string[string].count(std::stoi(content));
        EXPECT_TRUE(is_pair_sent) << name << " holds " << content;
        atom_files++;
    }
    for (const auto& entry : fs::directory_iterator(fs::path(data_) / "atoms/v")) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(TEMP_PREFIX, 0) == 0) {
            temporaries++;
            continue;
        }
        const std::string content = read_file(entry.path()).value_or("");
        const int atom = std::stoi(name);
        ASSERT_EQ(std::to_string(atom), name);
        EXPECT_TRUE(!content.empty() && content.back() == '\n' &&
                    strings_of_atom[atom].count(content.substr(0, content.size() - 1)))
            << name << " holds " << content;
    }
    std::printf("%zu formats, %ld atom files, %ld temporaries left by the kills\n",
                stored_ids.size(), atom_files, temporaries);

    // The temporaries are not counted.
    EXPECT_EQ(
        get("/v1/health").out,
        response(200, R"({"status":"ok","format_count":)" + std::to_string(stored_ids.size()) +
                          R"(,"atom_count":)" + std::to_string(atom_files) + "}"));
    // Nor served, under any name that reaches them.
    for (const char* dir : {"formats", "atoms/s", "atoms/v"}) {
        for (const auto& entry : fs::directory_iterator(fs::path(data_) / dir)) {
            const std::string name = entry.path().filename().string();
            if (name.rfind(TEMP_PREFIX, 0) != 0) continue;
            SCOPED_TRACE(name);
            EXPECT_EQ(get("/v1/formats/" + name).out,
                      response(404, R"({"error":"format not found"})"));
            EXPECT_EQ(get("/v1/atoms/by-string/" + name).out,
                      response(404, R"({"error":"atom not found"})"));
        }
    }

    // Every lookup of what was sent: found whole, or not found; never corrupt, never short.
    for (const auto& [id, rep] : rep_of_id) {
        const process_result got = get("/v1/formats/" + id);
        if (stored_ids.count(id)) {
            EXPECT_EQ(got.out, response(200, R"({"format_rep":")" + to_hex(rep) + R"("})"));
        } else {
            EXPECT_EQ(got.out, response(404, R"({"error":"format not found"})"));
        }
    }
    for (const auto& [string, sent_atoms] : atoms_of_string) {
        const process_result got = get("/v1/atoms/by-string/" + percent_encode(string));
        bool is_sound = got.out == response(404, R"({"error":"atom not found"})");
        for (int atom : sent_atoms) {
            is_sound =
                is_sound || got.out == response(200, R"({"atom":)" + std::to_string(atom) + "}");
        }
        EXPECT_TRUE(is_sound) << got.out;
    }
    for (const auto& [atom, sent_strings] : strings_of_atom) {
        const process_result got = get("/v1/atoms/by-value/" + std::to_string(atom));
        bool is_sound = got.out == response(404, R"({"error":"atom value not found"})");
        for (const auto& string : sent_strings) {
            is_sound = is_sound || got.out == response(200, R"({"string":")" + string + R"("})");
        }
        EXPECT_TRUE(is_sound) << got.out;
    }

    // The operator's check finds what the kills left sound: temporaries and half-done pairs are
    // no faults.
    const process_result check = run_admin({"--quiet", "--data-dir", data_, "check"});
    EXPECT_EQ(check.exit_status, 0) << check.out;

    // And the store takes every registration afterwards, among the temporaries.
    for (const auto& r : requests) timed_run(r);
    for (const auto& [id, rep] : rep_of_id) {
        EXPECT_EQ(get("/v1/formats/" + id).out,
                  response(200, R"({"format_rep":")" + to_hex(rep) + R"("})"));
    }
}

// Registrations run side by side, some killed with SIGKILL at random moments: what a crash
// leaves (temporaries, an atom file without its atom value file) is never a fault.
TEST_F(Crash, StoreWrittenUnderLoadAndCrashesIsSound) {
    // The fixture store of velto-admin's check tests, a stale mapping included.
    store().add_format(representation(16, 1));
    store().add_format(representation(300, 2));
    store().add_atom("a b", 5);
    store().add_atom("a b", 6);
    store().add_atom("c", 7);
    store().add_atom("d", 8);

    constexpr int WORKERS = 4;
    constexpr int REQUESTS_PER_WORKER = 40;
    std::vector<std::thread> workers;
    for (int w = 0; w < WORKERS; w++) {
        workers.emplace_back([this, w] {
            std::mt19937 random(static_cast<unsigned>(w) + 17);
            const fs::path body_file = root_.path() / ("body" + std::to_string(w));
            for (int i = 0; i < REQUESTS_PER_WORKER; i++) {
                const bool is_format = random() % 3 == 0;
                const std::string body =
                    is_format ? "{\"format_rep\":\"" +
                                    to_hex(representation(64 + random() % 4000, random())) + "\"}"
                              : "{\"string\":\"s" + std::to_string(random() % 12) +
                                    "\",\"atom\":" + std::to_string(random() % 20) + "}";
                write_file(body_file, body);
                process_launch launch =
                    cgi_launch(post_env({is_format ? "/v1/formats" : "/v1/atoms", body}));
                launch.input_file = body_file;
                started_process registration(launch);
                if (random() % 2 == 0) {
                    std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
                    registration.signal(SIGKILL);
                }
                registration.wait();
            }
        });
    }
    for (auto& worker : workers) worker.join();

    const process_result result = run_admin({"check", "--data-dir", data_, "--json"});
    EXPECT_EQ(result.exit_status, 0) << result.out;
    for (const auto& [level, code, path] : parse_findings(result.out, data_)) {
        EXPECT_NE(level, "fault") << code << " " << path;
    }
}

}  // namespace
