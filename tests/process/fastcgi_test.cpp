// velto.cgi as a FastCGI worker: the same answers and store as the CGI program for one table of
// requests, nothing carried from one request to the next (descriptors, memory, data_dir, a
// failed or abandoned request), and the worker's lifecycle (stop signals, the request count).
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "fastcgi_client.h"
#include "process_test.h"

namespace fs = std::filesystem;
using namespace velto_test;

namespace {

const std::string HEALTH_EMPTY = R"({"status":"ok","format_count":0,"atom_count":0})";
constexpr int EXIT_WAIT_MS = 10000;

// The 10485760-byte body that the program still reads: a format of 5242871 bytes.
std::string largest_body() {
    std::string hex = "0010000000000000";
    hex.append(10485742 - hex.size(), 'a');
    return "{\"format_rep\": \"" + hex + "\"}";
}

std::string server_id_in(const std::string& answer) {
    const std::string key = "\"server_id\":\"";
    const std::size_t at = answer.find(key);
    if (at == std::string::npos) return "";
    return answer.substr(at + key.size(), 32);
}

// The descriptors of a worker between requests: the client has its answer before the worker
// closes the connection, so first the worker's sockets must be down to the listening one.
std::size_t idle_descriptor_count(const fastcgi_worker& worker) {
    for (int i = 0; i < 5000 && worker.open_socket_count() != 1; i++) ::usleep(1000);
    return worker.open_descriptor_count();
}

// One request of the table. An absent variable is nullopt; `arrange` and `restore` act on the
// store of each mode alike, before and after the request.
struct exchange {
    std::optional<std::string> method, path, content_length;
    std::string body;
    std::function<void(const fs::path&)> arrange = nullptr;
    std::function<void(const fs::path&)> restore = nullptr;
};

exchange get_request(const std::string& path) {
    return {"GET", path, std::nullopt, ""};
}
exchange post_request(const std::string& path, const std::string& body) {
    return {"POST", path, std::to_string(body.size()), body};
}

environment variables_of(const exchange& e, const fs::path& store) {
    environment env{{"VELTO_DATA_DIR", store.string()}};
    if (e.method) env["REQUEST_METHOD"] = *e.method;
    if (e.path) env["PATH_INFO"] = *e.path;
    if (e.content_length) env["CONTENT_LENGTH"] = *e.content_length;
    return env;
}

void swap_in_file_for(const fs::path& store, const char* directory) {
    fs::rename(store / directory, store / (std::string(directory) + ".aside"));
    write_file(store / directory, "");
}
void swap_back(const fs::path& store, const char* directory) {
    fs::remove(store / directory);
    fs::rename(store / (std::string(directory) + ".aside"), store / directory);
}

// Every route, every status and error, the body rules, and the faults the e2e suite plants.
std::vector<exchange> request_table() {
    const std::string atom_body = R"({"string":"a b/c","atom":5})";
    std::vector<exchange> table = {
        get_request("/v1/health"),
        {std::nullopt, std::nullopt, std::nullopt, ""},
        {"GET", std::nullopt, std::nullopt, ""},
        {std::nullopt, "/v1/health", std::nullopt, ""},
        {"POST", std::nullopt, "4", "abcd"},
        {"DELETE", "/v1/health", std::nullopt, ""},
        {"get", "/v1/health", std::nullopt, ""},
        {"", "/v1/health", std::nullopt, ""},
        {"PUT", "/v1/health", "5", "ignored"},
        post_request("/v1/health", R"({"ignored":true})"),
        get_request("/v1/health/"),
        get_request("/V1/health"),
        get_request(""),
        get_request("/v1/formats"),
        get_request("/v1/atoms"),
        post_request("/v1/formats/", "{}"),
        post_request("/v1/atoms/by-value/7", "{}"),
        {"PUT", "/v1/formats", std::nullopt, ""},
        post_request("/v1/formats", "{\"format_rep\":\"" + SAMPLE_REP_HEX + "\"}"),
        post_request("/v1/formats", "{\"format_rep\":\"0010000000000000AABBCCDDEEFF0011\"}"),
        get_request("/v1/formats/" + SAMPLE_REP_ID),
        get_request("/v1/formats/8922697456A7890770EC1957F4AAFB2A"),
        get_request("/v1/formats/"),
        get_request("/v1/formats/00000000000000000000000000000000"),
        get_request("/v1/formats/../atoms"),
        {"POST", "/v1/formats", "0", ""},
        {"POST", "/v1/formats", std::nullopt, "{\"format_rep\":\"" + SAMPLE_REP_HEX + "\"}"},
        {"POST", "/v1/formats", "-1", "{}"},
        {"POST", "/v1/formats", "abc", "{}"},
        {"POST", "/v1/formats", "10485761", "{}"},
        {"POST", "/v1/formats", " 50", "{\"format_rep\":\"0010000000000000aabbccddeeff0012\"}"},
        {"POST", "/v1/formats", "50abc", "{\"format_rep\":\"0010000000000000aabbccddeeff0013\"}"},
        {"POST", "/v1/formats", "60", "{\"format_rep\":\"0010000000000000aabbccddeeff0014\"}"},
        {"POST", "/v1/formats", "20", "{\"format_rep\":\"0010000000000000aabbccddeeff0015\"}"},
        {"post", "/v1/formats", "50", "{\"format_rep\":\"0010000000000000aabbccddeeff0016\"}"},
        post_request("/v1/formats", std::string("{\"format_rep\":\"00100000\0" "00000000aabbcc\"}", 38)),
        post_request("/v1/formats", R"({"rep":"00"})"),
        post_request("/v1/formats", R"({"format_rep":7})"),
        post_request("/v1/formats", R"({"format_rep":"001000000000000"})"),
        post_request("/v1/formats", R"({"format_rep":"0010000000000000a"})"),
        post_request("/v1/formats", R"({"format_rep":"0x10000000000000aa"})"),
        post_request("/v1/formats", R"({"format_rep":"0011000000000000aabbccddeeff0011"})"),
        post_request("/v1/formats", R"({"format_rep":"0010000100000001aabb"})"),
        {"POST", "/v1/formats", "50", "{\"format_rep\":\"0010000000000000000102030405060f\"}",
         [](const fs::path& s) { swap_in_file_for(s, "formats"); },
         [](const fs::path& s) { swap_back(s, "formats"); }},
        {"GET", "/v1/formats/0123456789abcdef0123456789abcdef", std::nullopt, "",
         [](const fs::path& s) { fs::create_directory(s / "formats/0123456789abcdef0123456789abcdef"); },
         [](const fs::path& s) { fs::remove(s / "formats/0123456789abcdef0123456789abcdef"); }},
        post_request("/v1/atoms", atom_body),
        get_request("/v1/atoms/by-string/a%20b%2Fc"),
        get_request("/v1/atoms/by-string/" + percent_encode("a b/c")),
        get_request("/v1/atoms/by-value/5"),
        get_request("/v1/atoms/by-value/005"),
        get_request("/v1/atoms/by-value/+5"),
        get_request("/v1/atoms/by-value/5abc"),
        get_request("/v1/atoms/by-value/"),
        get_request("/v1/atoms/by-value/-1"),
        get_request("/v1/atoms/by-value/99999999999"),
        get_request("/v1/atoms/by-string/nobody"),
        get_request("/v1/atoms/by-string/"),
        post_request("/v1/atoms", R"({"atom":0,"string":"zero"})"),
        get_request("/v1/atoms/by-value/"),
        post_request("/v1/atoms", R"({"string":"x"})"),
        post_request("/v1/atoms", R"({"atom":1})"),
        post_request("/v1/atoms", R"({"string":"x","atom":-1})"),
        post_request("/v1/atoms", R"({"string":"x","atom":2147483648})"),
        post_request("/v1/atoms", R"({"string":"","atom":1})"),
        {"POST", "/v1/atoms", "0", ""},
        {"POST", "/v1/atoms", "40", R"({"string":"blocked","atom":4242})",
         [](const fs::path& s) { fs::create_directory(s / "atoms/v/4242"); },
         [](const fs::path& s) { fs::remove(s / "atoms/v/4242"); }},
        {"POST", "/v1/atoms", "40", R"({"string":"nowhere","atom":4243})",
         [](const fs::path& s) { swap_in_file_for(s, "atoms/s"); },
         [](const fs::path& s) { swap_back(s, "atoms/s"); }},
        {"GET", "/v1/atoms/by-value/77", std::nullopt, "",
         [](const fs::path& s) { write_file(s / "atoms/v/77", ""); },
         [](const fs::path& s) { fs::remove(s / "atoms/v/77"); }},
        {"GET", "/v1/atoms/by-string/junk", std::nullopt, "",
         [](const fs::path& s) { write_file(s / "atoms/s/junk", "x\n"); },
         [](const fs::path& s) { fs::remove(s / "atoms/s/junk"); }},
        post_request("/v1/atoms", "{\"string\":\"" + std::string(600, 'l') + "\",\"atom\":9}"),
        get_request("/v1/atoms/by-value/9"),
        get_request("/v1/health"),
    };
    return table;
}

// A fresh directory per test (root_) for the workers' sockets and stores, the store data_ for a
// test with one.
class FastCgi : public process_test {};

// The table through the CGI program (one process each, store A) and through one worker (store
// B): the same bytes out, the same store left, request after request.
TEST_F(FastCgi, AnswersAndStoreAreTheCgiProgramsByteForByte) {
    const fs::path cgi_store = root_.path() / "cgi";
    const fs::path worker_store = root_.path() / "worker";
    fastcgi_worker worker(root_.path(), {});
    std::vector<exchange> table = request_table();
    const std::string big = largest_body();
    table.push_back(post_request("/v1/formats", big));
    table.push_back({"POST", "/v1/formats", "10485761", big + " "});
    table.push_back({"PUT", "/v1/formats/x", "10485760", big});
    std::size_t step = 0;
    for (const exchange& e : table) {
        SCOPED_TRACE("step " + std::to_string(step++) + ": " + e.method.value_or("<none>") + " " +
                     e.path.value_or("<none>") + " CONTENT_LENGTH " + e.content_length.value_or("<none>"));
        for (const fs::path& store : {cgi_store, worker_store}) {
            if (e.arrange && fs::exists(store)) e.arrange(store);
        }
        const process_result cgi = run_cgi(variables_of(e, cgi_store), e.body);
        const fastcgi_result fcgi = worker.request(variables_of(e, worker_store), e.body);
        for (const fs::path& store : {cgi_store, worker_store}) {
            if (e.restore && fs::exists(store)) e.restore(store);
        }
        EXPECT_EQ(cgi.err, "");
        EXPECT_EQ(cgi.exit_status, 0);
        EXPECT_TRUE(fcgi.ended);
        EXPECT_EQ(fcgi.err, "");
        EXPECT_EQ(fcgi.app_status, 0u);
        ASSERT_EQ(fcgi.out, cgi.out);
        EXPECT_EQ(tree_snapshot(worker_store), tree_snapshot(cgi_store));
    }
    // The largest format comes back whole in both modes.
    const std::string id = server_id_in(run_cgi(variables_of(post_request("/v1/formats", big), cgi_store), big).out);
    ASSERT_EQ(id.size(), 32u);
    const process_result cgi = run_cgi(variables_of(get_request("/v1/formats/" + id), cgi_store));
    const fastcgi_result fcgi = worker.request(variables_of(get_request("/v1/formats/" + id), worker_store));
    EXPECT_EQ(cgi.out.size(), 82u + 10485742u + 17u);
    EXPECT_TRUE(fcgi.out == cgi.out) << "sizes " << fcgi.out.size() << " and " << cgi.out.size();

    ::kill(worker.pid(), SIGTERM);
    EXPECT_EQ(worker.wait_exit(EXIT_WAIT_MS), 0);
    EXPECT_EQ(worker.stderr_text(), "");
}

// The request's VELTO_DATA_DIR, else the worker's environment; never the previous request's.
TEST_F(FastCgi, EachRequestUsesItsOwnStore) {
    const fs::path own = root_.path() / "own";
    const fs::path first = root_.path() / "first";
    const fs::path second = root_.path() / "second";
    fastcgi_worker worker(root_.path(), {{"VELTO_DATA_DIR", own.string()}});
    const std::string body = R"({"string":"where","atom":1})";
    const environment bare{{"REQUEST_METHOD", "POST"}, {"PATH_INFO", "/v1/atoms"},
                           {"CONTENT_LENGTH", std::to_string(body.size())}};
    environment to_first = bare;
    to_first["VELTO_DATA_DIR"] = first.string();
    environment to_second = bare;
    to_second["VELTO_DATA_DIR"] = second.string();
    for (const environment& params : {to_first, bare, to_second, bare, to_first}) {
        EXPECT_EQ(worker.request(params, body).out, response(200, R"({"ok":true})"));
    }
    for (const fs::path& store : {own, first, second}) {
        SCOPED_TRACE(store);
        EXPECT_EQ(read_file(store / "atoms/v/1"), "where\n");
    }
    const environment health{{"REQUEST_METHOD", "GET"}, {"PATH_INFO", "/v1/health"},
                             {"VELTO_DATA_DIR", (root_.path() / "empty").string()}};
    EXPECT_EQ(worker.request(health).out, response(200, HEALTH_EMPTY));
    EXPECT_EQ(tree_listing(root_.path() / "empty"), "atoms/\natoms/s/\natoms/v/\nformats/\n");
}

// A client that goes away in the middle of the body, or of a 10 MiB answer, costs the worker
// nothing: the next request is answered in full.
TEST_F(FastCgi, AnAbandonedRequestLeavesTheNextUnharmed) {
    const fs::path store = data_;
    fastcgi_worker worker(root_.path(), {{"VELTO_DATA_DIR", store.string()}});
    const std::string big = largest_body();
    const fastcgi_result stored = worker.request(variables_of(post_request("/v1/formats", big), store), big);
    const std::string id = server_id_in(stored.out);
    ASSERT_EQ(id.size(), 32u) << stored.out;
    const std::size_t descriptors = idle_descriptor_count(worker);

    for (int round = 0; round < 3; round++) {
        {
            fastcgi_connection half_body(worker.socket_path());
            half_body.send_begin(variables_of(post_request("/v1/atoms", big), store));
            half_body.send_body(big.substr(0, big.size() / 2));
        }
        {
            fastcgi_connection unread(worker.socket_path());
            unread.send_begin(variables_of(get_request("/v1/formats/" + id), store));
            unread.send_body("");
        }
        EXPECT_EQ(worker.request(variables_of(get_request("/v1/health"), store)).out,
                  response(200, R"({"status":"ok","format_count":1,"atom_count":0})"));
    }
    const fastcgi_result fetched = worker.request(variables_of(get_request("/v1/formats/" + id), store));
    EXPECT_EQ(fetched.out.size(), 82u + 10485742u + 17u);
    EXPECT_EQ(idle_descriptor_count(worker), descriptors);
    ::kill(worker.pid(), SIGTERM);
    EXPECT_EQ(worker.wait_exit(EXIT_WAIT_MS), 0);
    EXPECT_EQ(worker.stderr_text(), "");
}

// The signals that servers and supervisors stop a worker with end it after the request in hand:
// while it waits for a connection at once, while it reads a body only once that request is
// answered.
TEST_F(FastCgi, StopSignalsEndTheWorkerAfterTheRequestInHand) {
    const std::string body = R"({"string":"late","atom":3})";
    for (const int signal : {SIGTERM, SIGUSR1, SIGHUP, SIGINT}) {
        SCOPED_TRACE(strsignal(signal));
        const fs::path dir = root_.path() / std::to_string(signal);
        fs::create_directory(dir);
        const fs::path store = dir / "store";
        {
            fastcgi_worker idle(dir, {{"VELTO_DATA_DIR", store.string()}});
            EXPECT_EQ(idle.request(variables_of(get_request("/v1/health"), store)).out, response(200, HEALTH_EMPTY));
            ::kill(idle.pid(), signal);
            EXPECT_EQ(idle.wait_exit(EXIT_WAIT_MS), 0);
            EXPECT_EQ(idle.stderr_text(), "");
        }
        fastcgi_worker busy(dir, {{"VELTO_DATA_DIR", store.string()}});
        EXPECT_EQ(busy.request(variables_of(get_request("/v1/health"), store)).out, response(200, HEALTH_EMPTY));
        // The worker holds the request once it has accepted its connection: the listening
        // socket and that one, after the last request's connection is closed.
        auto wait_for_sockets = [&busy](std::size_t count) {
            for (int i = 0; i < 5000 && busy.open_socket_count() != count; i++) ::usleep(1000);
            return busy.open_socket_count();
        };
        ASSERT_EQ(wait_for_sockets(1), 1u);
        fastcgi_connection in_hand(busy.socket_path());
        in_hand.send_begin(variables_of(post_request("/v1/atoms", body), store));
        in_hand.send_body(body.substr(0, 10));
        ASSERT_EQ(wait_for_sockets(2), 2u);
        ::kill(busy.pid(), signal);
        EXPECT_EQ(busy.wait_exit(100), std::nullopt);
        in_hand.send_body(body.substr(10));
        in_hand.send_body("");
        const fastcgi_result answer = in_hand.read_answer();
        EXPECT_TRUE(answer.ended);
        EXPECT_EQ(answer.out, response(200, R"({"ok":true})"));
        EXPECT_EQ(busy.wait_exit(EXIT_WAIT_MS), 0);
        EXPECT_EQ(read_file(store / "atoms/v/3"), "late\n");
    }
}

// VELTO_MAX_REQUESTS: the worker answers that many requests and ends, for its server or
// supervisor to start a fresh one; anything but a number above 0 sets no limit.
TEST_F(FastCgi, MaxRequestsEndsTheWorkerAfterThatMany) {
    struct {
        std::string value;
        int answered_before_exit;  // 0: no limit
    } cases[] = {{"1", 1}, {"3", 3}, {" 2abc", 2}, {"0", 0}, {"-4", 0}, {"many", 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE("VELTO_MAX_REQUESTS=" + c.value);
        const fs::path dir = root_.path() / ("limit" + std::to_string(&c - cases));
        fs::create_directory(dir);
        const fs::path store = dir / "store";
        fastcgi_worker worker(dir, {{"VELTO_DATA_DIR", store.string()}, {"VELTO_MAX_REQUESTS", c.value}});
        const int requests = c.answered_before_exit == 0 ? 5 : c.answered_before_exit;
        for (int i = 0; i < requests; i++) {
            EXPECT_EQ(worker.request(variables_of(get_request("/v1/health"), store)).out, response(200, HEALTH_EMPTY));
        }
        if (c.answered_before_exit == 0) {
            EXPECT_EQ(worker.wait_exit(50), std::nullopt);
            ::kill(worker.pid(), SIGTERM);
        }
        EXPECT_EQ(worker.wait_exit(EXIT_WAIT_MS), 0);
        EXPECT_EQ(worker.stderr_text(), "");
    }
}

// The tests above count on the leak checker to fail a worker that leaks; this shows that it runs
// when a worker ends, as it is stopped, with the environment that they give it.
TEST_F(FastCgi, LeakCheckerRunsWhenTheWorkerEnds) {
#ifndef VELTO_SANITIZE
    GTEST_SKIP() << "built without the leak checker";
#else
    fastcgi_worker worker(root_.path(), {{"VELTO_DATA_DIR", data_},
                                         {"LD_PRELOAD", VELTO_FAULT_SHIM},
                                         {"ASAN_OPTIONS", "verify_asan_link_order=0"},
                                         {"VELTO_FAULT_PLANT_LEAK", "1"}});
    EXPECT_EQ(worker.request(variables_of(get_request("/v1/health"), data_)).out,
              response(200, HEALTH_EMPTY));
    ::kill(worker.pid(), SIGTERM);
    EXPECT_NE(worker.wait_exit(EXIT_WAIT_MS).value_or(0), 0);
    EXPECT_NE(worker.stderr_text().find("LeakSanitizer: detected memory leaks"), std::string::npos)
        << worker.stderr_text();
#endif
}

// One worker through many mixed requests (every route, every error, 10 MiB bodies): the same
// descriptors throughout, resident memory flat once warm, and, in the sanitizer build, no block
// left unreleased when it ends. VELTO_FASTCGI_SOAK_REQUESTS sets the count (100000 for the long
// run); the figures are printed.
TEST_F(FastCgi, NothingAccumulatesOverManyRequests) {
    long total = 3000;
    if (const char* text = std::getenv("VELTO_FASTCGI_SOAK_REQUESTS")) total = std::atol(text);
    const long big_every = total / 4 < 1000 ? total / 4 : 1000;
    const fs::path store = data_;
    fastcgi_worker worker(root_.path(), {{"VELTO_DATA_DIR", store.string()}});
    const std::vector<exchange> table = request_table();
    const std::string big = largest_body();
    std::string big_id;

    std::size_t warm_descriptors = 0, warm_kib = 0, peak_kib = 0;
    long served = 0;
    auto serve = [&](const exchange& e) {
        if (e.arrange) e.arrange(store);
        const fastcgi_result answer = worker.request(variables_of(e, store), e.body);
        if (e.restore) e.restore(store);
        served++;
        EXPECT_TRUE(answer.ended);
        return answer;
    };
    for (long i = 0; served < total; i++) {
        const exchange& e = table[static_cast<std::size_t>(i) % table.size()];
        const fastcgi_result answer = serve(e);
        if (answer.out.rfind("Status: ", 0) != 0) FAIL() << "request " << served << ": " << answer.out;
        if (big_every > 0 && served % big_every == 0) {
            big_id = server_id_in(serve(post_request("/v1/formats", big)).out);
            EXPECT_EQ(serve(get_request("/v1/formats/" + big_id)).out.size(), 82u + 10485742u + 17u);
            // Stored once, so the next one writes it again.
            fs::remove(store / "formats" / big_id);
        }
        if (warm_kib == 0 && served >= total / 4) {
            warm_descriptors = idle_descriptor_count(worker);
            warm_kib = worker.resident_kib();
        }
        if (warm_kib != 0 && served % 100 == 0) {
            const std::size_t kib = worker.resident_kib();
            if (kib > peak_kib) peak_kib = kib;
        }
    }
    const std::size_t end_descriptors = idle_descriptor_count(worker);
    const std::size_t end_kib = worker.resident_kib();
    std::cout << "FastCGI worker over " << served << " requests: descriptors " << warm_descriptors
              << " after a quarter, " << end_descriptors << " at the end; resident " << warm_kib
              << " KiB after a quarter, " << end_kib << " KiB at the end, " << peak_kib
              << " KiB at most between (sampled every 100)\n";
    EXPECT_EQ(end_descriptors, warm_descriptors);
#ifndef VELTO_SANITIZE
    // AddressSanitizer holds released blocks in quarantine, so memory is measured without it.
    EXPECT_LE(end_kib, warm_kib + 1024);
#endif
    ::kill(worker.pid(), SIGTERM);
    EXPECT_EQ(worker.wait_exit(60000), 0);
    EXPECT_EQ(worker.stderr_text(), "");
}

}  // namespace
