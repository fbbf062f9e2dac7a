// main.cpp: the program's entry. Started as a CGI program, one process serves one request: the
// CGI host describes it in the environment and passes a POST body on standard input; the one
// response goes to standard output. Started with a listening socket as standard input, it is a
// FastCGI worker that serves request after request on that socket (fastcgi.h). Nothing is written
// to standard error, and a CGI request always ends with exit status 0.
#include <fcntl.h>

#include <csignal>
#include <cstdlib>

#include "cgi/fastcgi.h"
#include "cgi/instances.h"
#include "cgi/intake.h"
#include "store/store.h"

namespace {

// A host that starts the program with a standard stream closed would otherwise hand that
// number to the next file the program opens, and the response could land in the store.
void hold_standard_streams_open() {
    for (int fd = 0; fd <= 2; fd++) {
        if (::fcntl(fd, F_GETFD) < 0 && ::open("/dev/null", O_RDWR) < 0) return;
    }
}

}  // namespace

int main() {
    hold_standard_streams_open();
    // A closed standard output, a peer gone or a file-size limit must make writes fail, not end
    // the process.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);

    // A FastCGI worker's own store serves the requests whose server passes none.
    if (const char* dir = std::getenv("VELTO_DATA_DIR")) data_dir = dir;
    // A worker holds no instance slot: a FastCGI pool is bounded by its worker count.
    if (is_fastcgi_listener()) return serve_fastcgi();

    const char* method = std::getenv("REQUEST_METHOD");
    const char* path = std::getenv("PATH_INFO");

    // Before anything is read or allocated: a process waiting for its turn holds next to nothing.
    hold_instance_slot();
    serve_request(method, path, std::getenv("CONTENT_LENGTH"));
    return 0;
}
