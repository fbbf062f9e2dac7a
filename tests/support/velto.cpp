// velto.cpp: the programs under test, their answers, the test data and the server-ID oracle.
#include "velto.h"

#include <gtest/gtest.h>
#include <sha256.h>

#include <algorithm>
#include <random>
#include <regex>
#include <sstream>
#include <stdexcept>

#ifndef VELTO_CGI_PATH
#error "VELTO_CGI_PATH must name the CGI program under test"
#endif
#ifndef VELTO_ADMIN_PATH
#error "VELTO_ADMIN_PATH must name the velto-admin program under test"
#endif

namespace velto_test {

process_launch cgi_launch(const environment& env, const std::string& input,
                          const run_options& options) {
    process_launch launch;
    launch.program = VELTO_CGI_PATH;
    launch.env = env;
    launch.input = input;
    launch.file_size_limit = options.file_size_limit;
    launch.preload = options.preload;
    launch.deadline_seconds = options.deadline_seconds;
    return launch;
}

process_result run_cgi(const environment& env, const std::string& input,
                       const run_options& options) {
    return run_process(cgi_launch(env, input, options));
}

std::string response(int status, const std::string& body) {
    const char* reason = status == 200   ? "OK"
                         : status == 400 ? "Bad Request"
                         : status == 404 ? "Not Found"
                         : status == 500 ? "Internal Server Error"
                                         : "?";
    return "Status: " + std::to_string(status) + " " + reason +
           "\r\nContent-Type: application/json\r\nAccess-Control-Allow-Origin: *\r\n\r\n" + body;
}

void expect_answer(const process_result& result, const std::string& expected) {
    EXPECT_EQ(result.out, expected);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.exit_status, 0);
}

environment cgi_store::env(const std::string& method, const std::string& path_info) const {
    return {{"REQUEST_METHOD", method}, {"PATH_INFO", path_info}, {"VELTO_DATA_DIR", data()}};
}

process_result cgi_store::get(const std::string& path_info) const {
    return run_cgi(env("GET", path_info));
}

process_result cgi_store::post(const std::string& path_info, const std::string& body,
                               const run_options& options) const {
    environment e = env("POST", path_info);
    e["CONTENT_LENGTH"] = std::to_string(body.size());
    return run_cgi(e, body, options);
}

std::string cgi_store::add_format(const std::string& representation) const {
    const process_result result =
        post("/v1/formats", "{\"format_rep\":\"" + to_hex(representation) + "\"}");
    const std::string prefix = response(200, "{\"server_id\":\"");
    EXPECT_EQ(result.out.compare(0, prefix.size(), prefix), 0) << result.out;
    if (result.out.size() < prefix.size() + 2) return "";
    return result.out.substr(prefix.size(), result.out.size() - prefix.size() - 2);
}

void cgi_store::add_atom(const std::string& string, long long atom) const {
    const process_result result =
        post("/v1/atoms", "{\"string\":\"" + string + "\",\"atom\":" + std::to_string(atom) + "}");
    EXPECT_EQ(result.out, response(200, "{\"ok\":true}")) << string;
}

process_result run_admin(const std::vector<std::string>& args, const environment& env,
                         const std::string& input, bool input_is_pipe, int deadline_seconds) {
    process_launch launch;
    launch.program = VELTO_ADMIN_PATH;
    launch.args = args;
    launch.env = env;
    launch.input = input;
    launch.input_as = input_is_pipe ? input_via::pipe : input_via::regular_file;
    launch.deadline_seconds = deadline_seconds;
    return run_process(launch);
}

std::set<finding> parse_findings(const std::string& out, const std::string& data) {
    static const std::regex line_form(
        R"re(\{"level":"(fault|warning|note)","code":"([a-z_]+)","path":"([^"\\]*)","detail":"[^"\\]*"(,"age_seconds":\d+)?\})re");
    std::set<finding> found;
    std::istringstream lines(out);
    std::string line, last;
    while (std::getline(lines, line)) {
        last = line;
        std::smatch match;
        if (line.rfind("{\"level\":\"summary\"", 0) == 0) continue;
        EXPECT_TRUE(std::regex_match(line, match, line_form)) << line;
        if (match.empty()) continue;
        std::string path = match[3];
        if (path.rfind(data + "/", 0) == 0)
            path = path.substr(data.size() + 1);
        else if (path == data)
            path = ".";
        found.insert({match[1], match[2], path});
    }
    EXPECT_EQ(last.rfind("{\"level\":\"summary\",\"path\":\"" + data + "\"", 0), 0u) << out;
    return found;
}

std::string to_hex(const std::string& bytes, bool upper) {
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string hex;
    for (const unsigned char byte : bytes) {
        hex += digits[byte >> 4];
        hex += digits[byte & 0x0f];
    }
    return hex;
}

std::string from_hex(const std::string& hex) {
    std::string bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    }
    return bytes;
}

std::string percent_encode(const std::string& text) {
    std::string encoded;
    for (const char byte : text) encoded += "%" + to_hex(std::string(1, byte), true);
    return encoded;
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

std::string representation(std::size_t size, unsigned seed) {
    std::string rep(size, '\0');
    std::mt19937 bytes(seed);
    for (auto& byte : rep) byte = static_cast<char>(bytes());
    rep[0] = static_cast<char>(size >> 8 & 0xff);
    rep[1] = static_cast<char>(size & 0xff);
    rep[3] = 1;
    rep[6] = static_cast<char>(size >> 24 & 0xff);
    rep[7] = static_cast<char>(size >> 16 & 0xff);
    return rep;
}

std::string server_id(const std::string& rep, std::size_t declared) {
    const std::size_t extent = std::max<std::size_t>(8, declared);
    if (extent > rep.size()) throw std::invalid_argument("the representation is cut");
    uint8_t digest[32];
    SHA2_CTX context;
    SHA256Init(&context);
    SHA256Update(&context, reinterpret_cast<const uint8_t*>(rep.data()), extent);
    SHA256Final(digest, &context);
    return to_hex(std::string(reinterpret_cast<char*>(digest), 16));
}

std::string server_id(const std::string& rep) {
    if (rep.size() < 8) return "";
    const auto byte = [&](std::size_t i) {
        return static_cast<uint32_t>(static_cast<unsigned char>(rep[i]));
    };
    uint32_t declared = byte(0) << 8 | byte(1);
    if (byte(3) != 0) declared |= byte(6) << 24 | byte(7) << 16;
    if (declared > rep.size()) return "";
    return server_id(rep, declared);
}

}  // namespace velto_test
