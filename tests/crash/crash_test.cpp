// Registrations killed with SIGKILL at random moments, large formats among them, then a check of
// the whole store: every format file is named by the ID of its content and holds a representation
// that was sent, every atom file and atom value file parses and holds a pair that was sent, no
// lookup answers "corrupt" or "read error", and the temporaries that the kills left behind are
// neither counted by the health report nor served by any lookup.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "admin_process.h"
#include "cgi_process.h"
#include "qsr.h"

namespace fs = std::filesystem;
using namespace velto_test;

namespace {

constexpr char TEMP_PREFIX[] = ".velto~";
constexpr int KILLS_WANTED = 400;

// The ID text that the format library gives a representation; empty when the content could not
// be one (shorter than its header, or shorter than it declares).
std::string id_text_of(const std::string& rep) {
    if (rep.size() < 8) return "";
    const auto* bytes = reinterpret_cast<const unsigned char*>(rep.data());
    uint32_t declared = static_cast<uint32_t>(bytes[0]) << 8 | bytes[1];
    if (bytes[3] != 0) declared |= static_cast<uint32_t>(bytes[6]) << 24 | static_cast<uint32_t>(bytes[7]) << 16;
    if (declared > rep.size()) return "";
    server_id_record record{0, nullptr};
    generate_format3_server_ID(&record, bytes);
    const std::string id = to_hex(std::string(reinterpret_cast<char*>(record.value),
                                           static_cast<std::size_t>(record.length)));
    std::free(record.value);
    return id;
}

std::string unescape_store_name(const std::string& name) {
    std::string source;
    for (std::size_t i = 0; i < name.size(); i++) {
        if (name[i] == '%' && i + 2 < name.size()) {
            source += static_cast<char>(std::stoi(name.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            source += name[i];
        }
    }
    return source;
}

struct request {
    std::string path;
    std::string body;
};

class Crash : public ::testing::Test {
protected:
    environment cgi(const std::string& method, const std::string& path) const {
        return {{"REQUEST_METHOD", method}, {"PATH_INFO", path}, {"VELTO_DATA_DIR", data_.string()}};
    }

    // Starts the registration with its body on standard input from a file, and sends SIGKILL
    // after `delay`; true when the kill found it still running.
    bool run_and_kill(const std::string& body_file, const request& r, std::chrono::microseconds delay) {
        const environment env = [&] {
            environment e = cgi("POST", r.path);
            e["CONTENT_LENGTH"] = std::to_string(r.body.size());
            return e;
        }();
        std::vector<std::string> texts;
        for (const auto& [name, value] : env) texts.push_back(name + "=" + value);
        std::vector<char*> envp;
        for (auto& text : texts) envp.push_back(text.data());
        envp.push_back(nullptr);
        char program[] = VELTO_CGI_PATH;
        char* argv[] = {program, nullptr};

        const pid_t pid = ::fork();
        if (pid == 0) {
            const int in = ::open(body_file.c_str(), O_RDONLY);
            const int out = ::open("/dev/null", O_WRONLY);
            ::dup2(in, 0);
            ::dup2(out, 1);
            ::dup2(out, 2);
            ::execve(program, argv, envp.data());
            ::_exit(127);
        }
        ::usleep(static_cast<useconds_t>(delay.count()));
        const bool was_running = ::kill(pid, SIGKILL) == 0;
        int status = 0;
        ::waitpid(pid, &status, 0);
        return was_running && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
    }

    // Runs the request to its end and answers how long it took.
    std::chrono::microseconds timed_run(const request& r) {
        environment env = cgi("POST", r.path);
        env["CONTENT_LENGTH"] = std::to_string(r.body.size());
        const auto start = std::chrono::steady_clock::now();
        const cgi_result result = run_cgi(env, r.body);
        EXPECT_EQ(result.out.substr(0, 15), "Status: 200 OK\r") << result.out;
        return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() -
                                                                     start);
    }

    temp_dir root_;
    fs::path data_ = root_.path() / "data";
};

TEST_F(Crash, KilledRegistrationsLeaveAStoreThatReadsWhole) {
    // What is sent: formats of 16 bytes to 1 MiB, and atom pairs whose strings and atoms overlap,
    // so that kills land on files that already hold an earlier registration.
    std::vector<std::string> reps;
    for (unsigned seed = 0; seed < 3; seed++) reps.push_back(representation(1u << 20, seed));
    for (unsigned seed = 3; seed < 5; seed++) reps.push_back(representation(64u << 10, seed));
    for (unsigned seed = 5; seed < 8; seed++) reps.push_back(representation(16, seed));
    const std::vector<std::string> strings = {"alpha", "beta gamma", "\xce\xb4/\xff", std::string(200, 'z')};
    const std::vector<int> atoms = {0, 1, 2, 2147483647};

    std::vector<request> requests;
    for (const auto& rep : reps) requests.push_back({"/v1/formats", R"({"format_rep":")" + to_hex(rep) + R"("})"});
    std::map<int, std::set<std::string>> strings_of_atom;
    std::map<std::string, std::set<int>> atoms_of_string;
    for (const auto& string : strings) {
        for (int atom : atoms) {
            requests.push_back(
                {"/v1/atoms", R"({"string":")" + string + R"(","atom":)" + std::to_string(atom) + "}"});
            strings_of_atom[atom].insert(string);
            atoms_of_string[string].insert(atom);
        }
    }
    std::map<std::string, std::string> rep_of_id;
    for (const auto& rep : reps) rep_of_id[id_text_of(rep)] = rep;

    // How long each request runs when left alone, on a store of its own, bounds its kill delay.
    std::vector<std::string> body_files;
    std::vector<std::chrono::microseconds> durations;
    for (std::size_t i = 0; i < requests.size(); i++) {
        body_files.push_back((root_.path() / ("body" + std::to_string(i))).string());
        write_file(body_files.back(), requests[i].body);
    }
    {
        const fs::path real_data = data_;
        data_ = root_.path() / "timing";
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
        const std::chrono::microseconds delay(std::uniform_int_distribution<long>(0, limit)(random));
        if (run_and_kill(body_files[i], requests[i], delay)) {
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
    for (const auto& entry : fs::directory_iterator(data_ / "formats")) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(TEMP_PREFIX, 0) == 0) {
            temporaries++;
            continue;
        }
        const auto content = read_file(entry.path());
        ASSERT_TRUE(content) << name;
        EXPECT_EQ(id_text_of(*content), name);
        EXPECT_TRUE(rep_of_id.count(name) && rep_of_id[name] == *content) << name;
        stored_ids.insert(name);
    }
    long atom_files = 0;
    for (const auto& entry : fs::directory_iterator(data_ / "atoms/s")) {
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
    for (const auto& entry : fs::directory_iterator(data_ / "atoms/v")) {
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
    std::printf("%zu formats, %ld atom files, %ld temporaries left by the kills\n", stored_ids.size(),
                atom_files, temporaries);

    // The temporaries are not counted.
    EXPECT_EQ(run_cgi(cgi("GET", "/v1/health")).out,
              response(200, R"({"status":"ok","format_count":)" + std::to_string(stored_ids.size()) +
                                R"(,"atom_count":)" + std::to_string(atom_files) + "}"));
    // Nor served, under any name that reaches them.
    for (const char* dir : {"formats", "atoms/s", "atoms/v"}) {
        for (const auto& entry : fs::directory_iterator(data_ / dir)) {
            const std::string name = entry.path().filename().string();
            if (name.rfind(TEMP_PREFIX, 0) != 0) continue;
            SCOPED_TRACE(name);
            EXPECT_EQ(run_cgi(cgi("GET", "/v1/formats/" + name)).out,
                      response(404, R"({"error":"format not found"})"));
            EXPECT_EQ(run_cgi(cgi("GET", "/v1/atoms/by-string/" + name)).out,
                      response(404, R"({"error":"atom not found"})"));
        }
    }

    // Every lookup of what was sent: found whole, or not found; never corrupt, never short.
    for (const auto& [id, rep] : rep_of_id) {
        const cgi_result got = run_cgi(cgi("GET", "/v1/formats/" + id));
        if (stored_ids.count(id)) {
            EXPECT_EQ(got.out, response(200, R"({"format_rep":")" + to_hex(rep) + R"("})"));
        } else {
            EXPECT_EQ(got.out, response(404, R"({"error":"format not found"})"));
        }
    }
    for (const auto& [string, sent_atoms] : atoms_of_string) {
        const cgi_result got = run_cgi(cgi("GET", "/v1/atoms/by-string/" + percent_encode(string)));
        bool is_sound = got.out == response(404, R"({"error":"atom not found"})");
        for (int atom : sent_atoms) {
            is_sound = is_sound || got.out == response(200, R"({"atom":)" + std::to_string(atom) + "}");
        }
        EXPECT_TRUE(is_sound) << got.out;
    }
    for (const auto& [atom, sent_strings] : strings_of_atom) {
        const cgi_result got = run_cgi(cgi("GET", "/v1/atoms/by-value/" + std::to_string(atom)));
        bool is_sound = got.out == response(404, R"({"error":"atom value not found"})");
        for (const auto& string : sent_strings) {
            is_sound = is_sound || got.out == response(200, R"({"string":")" + string + R"("})");
        }
        EXPECT_TRUE(is_sound) << got.out;
    }

    // The operator's check finds what the kills left sound: temporaries and half-done pairs are
    // no faults.
    const cgi_result check = run_admin({"--quiet", "--data-dir", data_.string(), "check"});
    EXPECT_EQ(check.exit_status, 0) << check.out;

    // And the store takes every registration afterwards, among the temporaries.
    for (const auto& r : requests) timed_run(r);
    for (const auto& [id, rep] : rep_of_id) {
        EXPECT_EQ(run_cgi(cgi("GET", "/v1/formats/" + id)).out,
                  response(200, R"({"format_rep":")" + to_hex(rep) + R"("})"));
    }
}

}  // namespace
