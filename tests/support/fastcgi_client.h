// fastcgi_client.h: velto.cgi as a FastCGI worker, started as spawn-fcgi starts one (a listening
// Unix socket as its standard input), and a small FastCGI client that speaks to it as a web
// server does: one connection per request, the request's parameters, its body, then the records
// of the answer up to the end of the request.
#ifndef VELTO_TESTS_FASTCGI_CLIENT_H
#define VELTO_TESTS_FASTCGI_CLIENT_H

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "spawn.h"

namespace velto_test {

struct fastcgi_result {
    std::string out;         // the FCGI_STDOUT stream: the CGI response
    std::string err;         // the FCGI_STDERR stream
    bool ended = false;      // an FCGI_END_REQUEST record arrived
    uint32_t app_status = 0;
};

// One request's connection, for the tests that act while a request is in hand.
class fastcgi_connection {
  public:
    fastcgi_connection(const std::filesystem::path& socket_path);
    ~fastcgi_connection();
    fastcgi_connection(const fastcgi_connection&) = delete;
    fastcgi_connection& operator=(const fastcgi_connection&) = delete;

    // The begin record and every parameter, then the end of the parameters.
    void send_begin(const environment& params);
    // Body bytes as FCGI_STDIN records; an empty text is the end of the body.
    void send_body(const std::string& bytes);
    // Reads records until FCGI_END_REQUEST or until the worker closes the connection.
    fastcgi_result read_answer();
    // Closes the connection at once, whatever is unread.
    void close();

  private:
    int fd_ = -1;
};

// A worker process with its own socket below `directory`, started with exactly `env` through
// spawn.h. Its standard error goes to a file, read by stderr_text(). A worker still running at
// destruction is killed.
class fastcgi_worker {
  public:
    fastcgi_worker(const std::filesystem::path& directory, const environment& env);
    ~fastcgi_worker();
    fastcgi_worker(const fastcgi_worker&) = delete;
    fastcgi_worker& operator=(const fastcgi_worker&) = delete;

    // A whole request: parameters, the body, the answer.
    fastcgi_result request(const environment& params, const std::string& body = "") const;
    const std::filesystem::path& socket_path() const { return socket_path_; }
    pid_t pid() const { return process_->pid(); }

    // The exit status once the worker has ended, waiting up to `timeout_ms`; nullopt while it
    // still runs, -1 when it ended by a signal.
    std::optional<int> wait_exit(int timeout_ms);
    std::string stderr_text() const;

    // The descriptors the worker holds, those of them that are sockets (the listening one, and
    // the connection of a request in hand), and its resident set, from /proc.
    std::size_t open_descriptor_count() const;
    std::size_t open_socket_count() const;
    std::size_t resident_kib() const;

  private:
    std::filesystem::path socket_path_;
    std::filesystem::path stderr_path_;
    std::optional<started_process> process_;
};

}  // namespace velto_test

#endif  // VELTO_TESTS_FASTCGI_CLIENT_H
