// Registrations with one failing system call: every open, write, fsync, link, rename, close and
// mkdir that a format or an atom registration makes is failed in turn, with each of ENOSPC, EIO
// and EACCES. Whatever fails, the answer is 200 with every file complete, or the 500 of the file
// concerned; a final name never holds a short file, no temporary is left behind, nothing goes
// to standard error and the exit status is 0.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "process_test.h"
#include "shim_counts.h"

#ifndef VELTO_FAULT_SHIM
#error "VELTO_FAULT_SHIM must name the preloaded fault library"
#endif

namespace fs = std::filesystem;
using namespace velto_test;

namespace {

const char* const CALLS[] = {"open", "write", "fsync", "link", "rename", "close", "mkdir"};
const char* const ERRORS[] = {"ENOSPC", "EIO", "EACCES"};

const std::string CANNOT_WRITE_FORMAT = R"({"error":"cannot write format file"})";
const std::string CANNOT_WRITE_ATOM = R"({"error":"cannot write atom file"})";
const std::string CANNOT_WRITE_ATOM_VALUE = R"({"error":"cannot write atom value file"})";

// One registration: how to send it, how to lay out the store before it, and the outcomes
// allowed for each answer.
struct scenario {
    std::string name;
    std::string path;
    std::string body;
    std::function<void(const fs::path& data)> prepare;
    // Checks the store against the answer; adds a failure when they disagree.
    std::function<void(const fs::path& data, const std::string& out)> check;
    // Kinds of call that the clean run must make, proving that the shim sees them.
    std::vector<std::string> required_calls;
    // Whether a single fault can make it fail at all.
    bool can_fail = true;
};

// Every name in the tree that is not a directory, to catch a temporary or a stray file.
void expect_files(const fs::path& data, const std::vector<std::string>& files) {
    std::set<std::string> found;
    if (fs::exists(data)) {
        for (const auto& entry : fs::recursive_directory_iterator(data)) {
            if (!entry.is_directory()) found.insert(fs::relative(entry.path(), data).string());
        }
    }
    EXPECT_EQ(found, std::set<std::string>(files.begin(), files.end()));
}

// Which of the files the tree may hold besides its directories: those whose content is present.
std::vector<std::string> present(const fs::path& data, const std::vector<std::string>& files) {
    std::vector<std::string> found;
    for (const auto& file : files) {
        if (fs::exists(data / file)) found.push_back(file);
    }
    return found;
}

void expect_content_in(const fs::path& data, const std::string& file,
                       const std::vector<std::optional<std::string>>& allowed) {
    const std::optional<std::string> content = read_file(data / file);
    bool is_allowed = false;
    for (const auto& a : allowed) is_allowed = is_allowed || a == content;
    EXPECT_TRUE(is_allowed) << file << " holds "
                            << (content ? "\"" + *content + "\"" : std::string("nothing"));
}

scenario format_scenario(const std::string& name, const std::string& rep_hex, const std::string& id,
                         bool is_stored_before) {
    const std::string file = "formats/" + id;
    const std::string rep = from_hex(rep_hex);
    scenario s;
    s.name = name;
    s.path = "/v1/formats";
    s.body = R"({"format_rep":")" + rep_hex + R"("})";
    // A stored format is found by its probe: nothing is written, but the entry and its directory
    // are flushed before the answer, and a failed flush is a failed registration.
    s.required_calls = is_stored_before ? std::vector<std::string>{"open", "fsync", "close"}
                                        : std::vector<std::string>{"open", "write", "fsync",
                                                                   "link", "close", "mkdir"};
    s.prepare = [=](const fs::path& data) {
        if (!is_stored_before) return;
        fs::create_directories(data / "formats");
        write_file(data / file, rep);
    };
    s.check = [=](const fs::path& data, const std::string& out) {
        if (out == response(200, R"({"server_id":")" + id + R"("})")) {
            expect_content_in(data, file, {rep});
        } else if (out == response(500, CANNOT_WRITE_FORMAT)) {
            // Complete or absent; a file that was there stays as it was.
            if (is_stored_before) {
                expect_content_in(data, file, {rep});
            } else {
                expect_content_in(data, file, {std::nullopt, rep});
            }
        } else {
            ADD_FAILURE() << "unexpected answer: " << out;
        }
        expect_files(data, present(data, {file}));
    };
    return s;
}

// Registers the string s with the atom 5; before it, the store may hold s with the atom 4 and
// the atom 5 with the string old.
scenario atom_scenario(const std::string& name, bool is_registered_before) {
    const std::string atom_file = "atoms/s/s";
    const std::string value_file = "atoms/v/5";
    const std::optional<std::string> old_atom =
        is_registered_before ? std::optional<std::string>("4\n") : std::nullopt;
    const std::optional<std::string> old_value =
        is_registered_before ? std::optional<std::string>("old\n") : std::nullopt;
    scenario s;
    s.name = name;
    s.path = "/v1/atoms";
    s.body = R"({"string":"s","atom":5})";
    s.required_calls = {"open", "write", "fsync", "rename", "close", "mkdir"};
    s.prepare = [=](const fs::path& data) {
        if (!is_registered_before) return;
        fs::create_directories(data / "atoms/s");
        fs::create_directories(data / "atoms/v");
        write_file(data / atom_file, *old_atom);
        write_file(data / value_file, *old_value);
    };
    s.check = [=](const fs::path& data, const std::string& out) {
        if (out == response(200, R"({"ok":true})")) {
            expect_content_in(data, atom_file, {"5\n"});
            expect_content_in(data, value_file, {"s\n"});
        } else if (out == response(500, CANNOT_WRITE_ATOM)) {
            // The atom file is written first: the atom value file is not touched.
            expect_content_in(data, atom_file, {old_atom, "5\n"});
            expect_content_in(data, value_file, {old_value});
        } else if (out == response(500, CANNOT_WRITE_ATOM_VALUE)) {
            expect_content_in(data, atom_file, {"5\n"});
            expect_content_in(data, value_file, {old_value, "s\n"});
        } else {
            ADD_FAILURE() << "unexpected answer: " << out;
        }
        expect_files(data, present(data, {atom_file, value_file}));
    };
    return s;
}

void PrintTo(const scenario& s, std::ostream* out) { *out << s.name; }

class FaultInjection : public ::testing::TestWithParam<scenario> {
protected:
    // Runs the scenario against a fresh store that does not exist yet (so the tree's mkdir calls
    // are made too), with `fault` set when not empty.
    process_result run(const std::string& fault, const fs::path& data, const std::string& counts_file) {
        environment env = cgi_store(data).env("POST", GetParam().path);
        env["CONTENT_LENGTH"] = std::to_string(GetParam().body.size());
        if (!fault.empty()) env["VELTO_FAULT"] = fault;
        if (!counts_file.empty()) env["VELTO_FAULT_COUNTS"] = counts_file;
        return run_cgi(env, GetParam().body, {RLIM_INFINITY, VELTO_FAULT_SHIM});
    }
};

TEST_P(FaultInjection, EveryFailingCallLeavesACompleteFileOrNone) {
    const scenario& s = GetParam();

    // A run without a fault: it succeeds and says how many calls of each kind it makes.
    temp_dir root;
    const fs::path counts_file = root.path() / "counts";
    {
        const fs::path data = root.path() / "clean";
        s.prepare(data);
        const process_result clean = run("", data, counts_file.string());
        EXPECT_EQ(clean.err, "");
        EXPECT_EQ(clean.exit_status, 0);
        s.check(data, clean.out);
        EXPECT_EQ(clean.out.substr(0, 15), "Status: 200 OK\r");
    }
    const call_counts counts = read_call_counts(counts_file);
    // The shim must really stand between the program and the C library.
    for (const std::string& call : s.required_calls) {
        EXPECT_GT(counts.count(call) ? counts.at(call) : 0, 0) << call;
    }

    long faults = 0;
    std::map<std::string, long> answers;
    for (const char* call : CALLS) {
        const long count = counts.count(call) ? counts.at(call) : 0;
        for (long n = 1; n <= count; n++) {
            for (const char* error : ERRORS) {
                const std::string fault = std::string(call) + ":" + std::to_string(n) + ":" + error;
                SCOPED_TRACE(fault);
                const fs::path data = root.path() / ("run" + std::to_string(faults));
                s.prepare(data);
                const process_result result = run(fault, data, "");
                EXPECT_EQ(result.err, "");
                EXPECT_EQ(result.exit_status, 0);
                s.check(data, result.out);
                answers[result.out.substr(8, 3)]++;
                faults++;
                std::error_code ignored;
                fs::remove_all(data, ignored);
            }
        }
    }
    std::string summary;
    for (const auto& [status, count] : answers) summary += " " + status + ":" + std::to_string(count);
    std::printf("%s: %ld faults injected; answers%s\n", s.name.c_str(), faults, summary.c_str());
    // Some faults must have been felt, or the shim did nothing.
    if (s.can_fail) {
        EXPECT_GT(answers["500"], 0);
    }
}

std::string large_rep_hex() {
    // 256 KiB that declare their own length in the 32-bit form (byte 3 non-zero, bytes 6-7 the
    // upper half): 0x00040000.
    std::string hex = "0000000100000004";
    for (std::size_t i = 8; i < 262144; i++) {
        static const char digits[] = "0123456789abcdef";
        hex += digits[(i * 7) % 16];
        hex += digits[(i * 13 + 5) % 16];
    }
    return hex;
}

// The process tests count on the leak checker to fail any request that leaks; this shows that it
// does run in the CGI process that they start, with the environment that they give it.
TEST(LeakChecker, RunsInTheCgiProcess) {
#ifndef VELTO_SANITIZE
    GTEST_SKIP() << "built without the leak checker";
#endif
    temp_dir root;
    environment env = cgi_store(root.path() / "data").env("GET", "/v1/health");
    env["VELTO_FAULT_PLANT_LEAK"] = "1";
    const process_result result = run_cgi(env, "", {RLIM_INFINITY, VELTO_FAULT_SHIM});
    EXPECT_NE(result.err.find("LeakSanitizer: detected memory leaks"), std::string::npos) << result.err;
    EXPECT_NE(result.exit_status, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Registrations, FaultInjection,
    ::testing::Values(format_scenario("format_new", SAMPLE_REP_HEX, SAMPLE_REP_ID, false),
                      format_scenario("format_present", SAMPLE_REP_HEX, SAMPLE_REP_ID, true),
                      format_scenario("format_large", large_rep_hex(),
                                      server_id(from_hex(large_rep_hex())), false),
                      atom_scenario("atom_new", false), atom_scenario("atom_replaced", true)),
    [](const ::testing::TestParamInfo<scenario>& info) { return info.param.name; });

}  // namespace
