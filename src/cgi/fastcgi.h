// fastcgi.h: the same program as a persistent FastCGI responder. A server or supervisor that
// starts it with a listening socket as standard input (spawn-fcgi, lighttpd's bin-path, Apache's
// mod_fcgid, a systemd socket unit with StandardInput=socket) gets a worker that serves one
// request after another on that socket, each exactly as the CGI program would answer it.
#ifndef VELTO_CGI_FASTCGI_H
#define VELTO_CGI_FASTCGI_H

// Whether standard input is a listening socket. One system call; false for a terminal, a pipe,
// a file, a connected socket (mod_cgid hands the CGI program one) or a closed descriptor.
bool is_fastcgi_listener();

// Serves FastCGI requests on standard input's socket until a stop signal (SIGTERM, SIGUSR1,
// SIGHUP, SIGINT), which ends the worker after the request in hand, or until it has answered
// VELTO_MAX_REQUESTS requests (when that reads as a number above 0). Each request's parameters
// stand in for the CGI variables: REQUEST_METHOD, PATH_INFO, CONTENT_LENGTH, and VELTO_DATA_DIR,
// which, when absent, falls back to the data_dir that the process started with. Returns the
// process's exit status: 0 when told to stop or done, 1 when the socket fails.
int serve_fastcgi();

#endif  // VELTO_CGI_FASTCGI_H
