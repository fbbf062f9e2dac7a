// fastcgi.cpp: the FastCGI worker loop over libfcgi.
//
// libfcgi is opened with dlopen when the worker starts, never linked: the CGI program, started
// once per request, then binds none of its symbols. Measured with callgrind on the unknown
// endpoint against the program without a FastCGI mode, linking the static archive cost 2,061
// more instructions a CGI start (1.5 %: the loader binds the archive's forty-odd C library
// calls), the dlopen 931 (the getsockopt of the mode test, the channel, and the slots of the
// worker's own calls).
//
// Nothing of one request survives into the next: its parameters, streams and connection are
// released by FCGX_Finish_r, its body and every block the handlers took by their owners, and
// data_dir, which points into the request's parameters while it is served, is put back before
// those are released.
#include "cgi/fastcgi.h"

#include <dlfcn.h>
#include <fcgiapp.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "base/io.h"
#include "base/text.h"
#include "cgi/channel.h"
#include "cgi/intake.h"
#include "store/store.h"

namespace {

constexpr char FCGI_LIBRARY[] = "libfcgi.so.0";  // Debian libfcgi0ldbl, FreeBSD www/fcgi
constexpr int STOP_SIGNALS[] = {SIGTERM, SIGUSR1, SIGHUP, SIGINT};
constexpr std::size_t DRAIN_CHUNK_SIZE = 8192;
// Blocks from this size up are mapped for themselves and given back whole when released, so a
// worker that served a 10 MiB body returns to its idle size instead of keeping the peak.
constexpr int MMAP_THRESHOLD = 256 * 1024;

// The calls of libfcgi that the worker makes, bound by dlopen.
struct fcgi_library {
    void* handle = nullptr;
    int (*init)() = nullptr;
    int (*init_request)(FCGX_Request*, int, int) = nullptr;
    int (*accept)(FCGX_Request*) = nullptr;
    void (*finish)(FCGX_Request*) = nullptr;
    void (*free_request)(FCGX_Request*, int) = nullptr;
    char* (*get_param)(const char*, FCGX_ParamArray) = nullptr;
    int (*get_text)(char*, int, FCGX_Stream*) = nullptr;
    int (*put_text)(const char*, int, FCGX_Stream*) = nullptr;
    void (*shut_down)() = nullptr;
};

constinit fcgi_library fcgi;

template <typename Function>
bool bind_call(Function*& function, const char* name) {
    function = reinterpret_cast<Function*>(::dlsym(fcgi.handle, name));
    return function != nullptr;
}

// A worker that cannot start says why on standard error, which the servers log; it has no
// request to answer.
bool open_fcgi_library() {
    fcgi.handle = ::dlopen(FCGI_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (fcgi.handle == nullptr ||
        !(bind_call(fcgi.init, "FCGX_Init") && bind_call(fcgi.init_request, "FCGX_InitRequest") &&
          bind_call(fcgi.accept, "FCGX_Accept_r") && bind_call(fcgi.finish, "FCGX_Finish_r") &&
          bind_call(fcgi.free_request, "FCGX_Free") && bind_call(fcgi.get_param, "FCGX_GetParam") &&
          bind_call(fcgi.get_text, "FCGX_GetStr") && bind_call(fcgi.put_text, "FCGX_PutStr") &&
          bind_call(fcgi.shut_down, "OS_LibShutdown"))) {
        // Straight to the descriptor: naming stderr would cost every CGI start a symbol lookup.
        const char* reason = ::dlerror();
        char message[512];
        if (format_into(message, sizeof message, "velto.cgi: FastCGI mode needs %s: %s\n",
                        FCGI_LIBRARY, reason != nullptr ? reason : "a call is missing")) {
            write_all(2, message);
        }
        return false;
    }
    return true;
}

void close_fcgi_library() {
    if (fcgi.handle != nullptr) ::dlclose(fcgi.handle);
    fcgi = fcgi_library{};
}

volatile std::sig_atomic_t stop_requested = 0;
// /dev/null, put over descriptor 0 by a stop signal (see on_stop_signal); -1 when none.
int parking_fd = -1;

// A stop signal that lands after the loop has checked the flag but before accept() blocks would
// otherwise wait for the next connection. Putting /dev/null over descriptor 0 makes that accept
// fail at once, and only in this process: the listening socket that the other workers share is
// untouched. A request in hand has a connection of its own and is served to its end.
extern "C" void on_stop_signal(int) {
    const int saved_errno = errno;
    stop_requested = 1;
    if (parking_fd >= 0) ::dup2(parking_fd, 0);
    errno = saved_errno;
}

void install_stop_handlers() {
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    for (const int signal : STOP_SIGNALS) sigaddset(&action.sa_mask, signal);
    // SA_RESTART: the reads and writes of a request in hand carry on as if nothing happened
    // (libfcgi takes an interrupted read for the end of the body). The wait for a connection
    // still ends: poll() is never restarted, and a restarted accept() meets /dev/null.
    action.sa_flags = SA_RESTART;
    for (const int signal : STOP_SIGNALS) ::sigaction(signal, &action, nullptr);
}

long max_requests() {
    const char* text = std::getenv("VELTO_MAX_REQUESTS");
    int32_t count = 0;
    if (text == nullptr || !read_decimal(text, &count) || count < 1) return 0;
    return count;
}

// The request's streams as the channel. The first write reads away whatever of the body the
// request left unread, so that a server that sends the whole body before it reads the answer
// (mod_fcgid) never waits on a worker that waits on it.
class fastcgi_channel final : public request_channel {
  public:
    explicit fastcgi_channel(FCGX_Request& request) noexcept : request_(request) {}

    std::size_t read(char* into, std::size_t size) override {
        std::size_t done = 0;
        while (done < size) {
            const int chunk = static_cast<int>(size - done < INT_MAX ? size - done : INT_MAX);
            const int count = fcgi.get_text(into + done, chunk, request_.in);
            if (count <= 0) break;
            done += static_cast<std::size_t>(count);
        }
        return done;
    }

    void write(const char* bytes, std::size_t size) override {
        drain_input();
        while (size > 0) {
            const int chunk = static_cast<int>(size < INT_MAX ? size : INT_MAX);
            if (fcgi.put_text(bytes, chunk, request_.out) != chunk) return;
            bytes += chunk;
            size -= static_cast<std::size_t>(chunk);
        }
    }

    void drain_input() {
        if (is_drained_) return;
        is_drained_ = true;
        char sink[DRAIN_CHUNK_SIZE];
        while (fcgi.get_text(sink, sizeof sink, request_.in) > 0) {
        }
    }

  private:
    FCGX_Request& request_;
    bool is_drained_ = false;
};

void serve_one(FCGX_Request& request, const char* process_data_dir) {
    const char* dir = fcgi.get_param("VELTO_DATA_DIR", request.envp);
    data_dir = dir != nullptr ? dir : process_data_dir;
    fastcgi_channel channel(request);
    serve_request(fcgi.get_param("REQUEST_METHOD", request.envp),
                  fcgi.get_param("PATH_INFO", request.envp),
                  fcgi.get_param("CONTENT_LENGTH", request.envp), channel);
    channel.drain_input();
    release_store_tree();
    data_dir = process_data_dir;
}

// Waits until the listening socket has a connection or a stop signal came. Some servers hand
// over a non-blocking socket, on which accept() alone would spin.
bool wait_for_connection() {
    pollfd listener{0, POLLIN, 0};
    while (!stop_requested) {
        if (::poll(&listener, 1, -1) > 0) return true;
        if (errno != EINTR) return false;
    }
    return false;
}

}  // namespace

bool is_fastcgi_listener() {
    int is_listening = 0;
    socklen_t size = sizeof is_listening;
    return ::getsockopt(0, SOL_SOCKET, SO_ACCEPTCONN, &is_listening, &size) == 0 &&
           is_listening != 0;
}

int serve_fastcgi() {
#if defined(M_MMAP_THRESHOLD)
    ::mallopt(M_MMAP_THRESHOLD, MMAP_THRESHOLD);
#endif
    parking_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    // Before FCGX_Init, which installs handlers of its own only where none is set.
    install_stop_handlers();
    if (!open_fcgi_library() || fcgi.init() != 0) {
        close_fcgi_library();
        return 1;
    }
    const char* const process_data_dir = data_dir;
    const long limit = max_requests();

    FCGX_Request request;
    fcgi.init_request(&request, 0, FCGI_FAIL_ACCEPT_ON_INTR);
    int status = 0;
    for (long served = 0; !stop_requested && (limit == 0 || served < limit);) {
        if (!wait_for_connection()) break;
        const int accepted = fcgi.accept(&request);
        if (accepted < 0) {
            // Another worker took the connection first (a non-blocking socket), or a signal came.
            if (-accepted == EAGAIN || -accepted == EWOULDBLOCK || -accepted == EINTR) continue;
            if (!stop_requested) status = 1;
            break;
        }
        serve_one(request, process_data_dir);
        fcgi.finish(&request);
        served++;
    }
    fcgi.free_request(&request, 1);
    fcgi.shut_down();
    close_fcgi_library();
    if (parking_fd >= 0) ::close(parking_fd);
    parking_fd = -1;
    return status;
}

