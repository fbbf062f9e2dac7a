// fastcgi_client.cpp: the FastCGI records a web server sends and reads (protocol version 1, the
// responder role, one request per connection), and a worker started on a socket of its own.
#include "fastcgi_client.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <vector>

#include "files.h"

#ifndef VELTO_CGI_PATH
#error "VELTO_CGI_PATH must name the CGI program under test"
#endif

namespace velto_test {

namespace {

enum record_type : unsigned char {
    BEGIN_REQUEST = 1,
    END_REQUEST = 3,
    PARAMS = 4,
    STDIN = 5,
    STDOUT = 6,
    STDERR = 7,
};
constexpr unsigned char RESPONDER = 1;
constexpr int REQUEST_ID = 1;
constexpr std::size_t MAX_CONTENT = 65535;

void write_all(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw std::runtime_error("write to the worker failed");
        done += static_cast<std::size_t>(n);
    }
}

// False when the connection ended before `size` bytes came.
bool read_exactly(int fd, char* into, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::read(fd, into + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::string record(record_type type, const std::string& content) {
    std::string bytes;
    bytes += '\1';
    bytes += static_cast<char>(type);
    bytes += static_cast<char>(REQUEST_ID >> 8);
    bytes += static_cast<char>(REQUEST_ID & 0xff);
    bytes += static_cast<char>(content.size() >> 8);
    bytes += static_cast<char>(content.size() & 0xff);
    bytes += '\0';  // no padding
    bytes += '\0';
    return bytes + content;
}

// A stream's bytes as records of at most MAX_CONTENT bytes each (none for an empty text).
std::string stream_records(record_type type, const std::string& bytes) {
    std::string records;
    for (std::size_t at = 0; at < bytes.size(); at += MAX_CONTENT) {
        records += record(type, bytes.substr(at, MAX_CONTENT));
    }
    return records;
}

// The address of the Unix socket at `path`.
sockaddr_un unix_address(const std::filesystem::path& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string text = path.string();
    if (text.size() >= sizeof address.sun_path)
        throw std::runtime_error("socket path too long: " + text);
    std::memcpy(address.sun_path, text.c_str(), text.size() + 1);
    return address;
}

// A socket listening at `path`, as a server or supervisor makes one for its workers.
int listen_on(const std::filesystem::path& path) {
    const sockaddr_un address = unix_address(path);
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0 ||
        ::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 128) != 0) {
        if (listener >= 0) ::close(listener);
        throw std::runtime_error("cannot listen on " + path.string());
    }
    return listener;
}

std::string pair_length(std::size_t length) {
    if (length < 128) return std::string(1, static_cast<char>(length));
    return {static_cast<char>(0x80 | (length >> 24 & 0x7f)), static_cast<char>(length >> 16 & 0xff),
            static_cast<char>(length >> 8 & 0xff), static_cast<char>(length & 0xff)};
}

}  // namespace

fastcgi_connection::fastcgi_connection(const std::filesystem::path& socket_path) {
    const sockaddr_un address = unix_address(socket_path);
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) throw std::runtime_error("socket failed");
    if (::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd_);
        fd_ = -1;
        throw std::runtime_error("connect to the worker failed: " +
                                 std::string(std::strerror(errno)));
    }
}

fastcgi_connection::~fastcgi_connection() {
    close();
}

void fastcgi_connection::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void fastcgi_connection::send_begin(const environment& params) {
    const std::string begin = {0, static_cast<char>(RESPONDER), 0, 0, 0, 0, 0, 0};
    std::string pairs;
    for (const auto& [name, value] : params) {
        pairs += pair_length(name.size()) + pair_length(value.size()) + name + value;
    }
    write_all(fd_,
              record(BEGIN_REQUEST, begin) + stream_records(PARAMS, pairs) + record(PARAMS, ""));
}

void fastcgi_connection::send_body(const std::string& bytes) {
    write_all(fd_, bytes.empty() ? record(STDIN, "") : stream_records(STDIN, bytes));
}

fastcgi_result fastcgi_connection::read_answer() {
    fastcgi_result result;
    std::vector<char> content(MAX_CONTENT + 255);
    for (;;) {
        unsigned char header[8];
        if (!read_exactly(fd_, reinterpret_cast<char*>(header), sizeof header)) return result;
        const std::size_t length = static_cast<std::size_t>(header[4]) << 8 | header[5];
        if (!read_exactly(fd_, content.data(), length + header[6])) return result;
        switch (header[1]) {
            case STDOUT:
                result.out.append(content.data(), length);
                break;
            case STDERR:
                result.err.append(content.data(), length);
                break;
            case END_REQUEST:
                result.ended = true;
                result.app_status =
                    static_cast<uint32_t>(static_cast<unsigned char>(content[0])) << 24 |
                    static_cast<uint32_t>(static_cast<unsigned char>(content[1])) << 16 |
                    static_cast<uint32_t>(static_cast<unsigned char>(content[2])) << 8 |
                    static_cast<unsigned char>(content[3]);
                return result;
            default:
                break;
        }
    }
}

fastcgi_worker::fastcgi_worker(const std::filesystem::path& directory, const environment& env)
    : socket_path_(directory / "worker.sock"), stderr_path_(directory / "worker.stderr") {
    // A worker that ends while a request is sent must fail the send, not the test.
    ::signal(SIGPIPE, SIG_IGN);
    // As spawn-fcgi leaves it: the socket on 0, nothing on 1, a log on 2.
    process_launch launch;
    launch.program = VELTO_CGI_PATH;
    launch.env = env;
    launch.input_fd = listen_on(socket_path_);
    launch.error_file = stderr_path_;
    try {
        process_.emplace(launch);
    } catch (...) {
        ::close(launch.input_fd);
        throw;
    }
    ::close(launch.input_fd);
}

fastcgi_worker::~fastcgi_worker() {
    process_.reset();
    std::error_code ignored;
    std::filesystem::remove(socket_path_, ignored);
}

fastcgi_result fastcgi_worker::request(const environment& params, const std::string& body) const {
    fastcgi_connection connection(socket_path_);
    connection.send_begin(params);
    connection.send_body(body);
    if (!body.empty()) connection.send_body("");
    return connection.read_answer();
}

std::optional<int> fastcgi_worker::wait_exit(int timeout_ms) {
    if (process_->pid() < 0) throw std::runtime_error("the worker was already reaped");
    const std::optional<process_result> ended = process_->wait_for(timeout_ms);
    if (!ended) return std::nullopt;
    return ended->exit_status;
}

std::string fastcgi_worker::stderr_text() const {
    return read_file(stderr_path_).value_or("");
}

std::size_t fastcgi_worker::open_descriptor_count() const {
    std::size_t count = 0;
    for (const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid()) + "/fd")) {
        (void)entry;
        count++;
    }
    return count;
}

std::size_t fastcgi_worker::open_socket_count() const {
    std::size_t count = 0;
    std::error_code ignored;  // a descriptor closed meanwhile
    for (const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid()) + "/fd")) {
        if (std::filesystem::read_symlink(entry.path(), ignored).string().rfind("socket:", 0) ==
            0) {
            count++;
        }
    }
    return count;
}

std::size_t fastcgi_worker::resident_kib() const {
    std::ifstream status("/proc/" + std::to_string(pid()) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stoul(line.substr(6));
    }
    throw std::runtime_error("no VmRSS for the worker");
}

}  // namespace velto_test
