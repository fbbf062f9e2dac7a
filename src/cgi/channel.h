// channel.h: where a request's body comes from and where its one answer goes. The CGI program
// reads standard input and writes standard output; a FastCGI worker reads and writes the streams
// of the request in hand. Everything above this (intake, routes, handlers, the response writer)
// is the same code in both modes, so both give the same bytes for the same request.
#ifndef VELTO_CGI_CHANNEL_H
#define VELTO_CGI_CHANNEL_H

#include <cstddef>

class request_channel {
  public:
    // Up to `size` bytes of the body into `into`, as one block read: fewer only when the body
    // ends or a read fails.
    virtual std::size_t read(char* into, std::size_t size) = 0;
    // All of `bytes`, or as much as the peer takes; failures are not reported, since with the
    // peer gone there is nobody to tell.
    virtual void write(const char* bytes, std::size_t size) = 0;

  protected:
    ~request_channel() = default;
};

// The standard streams, looked up at each call (stdin, stdout), as the CGI program uses them.
request_channel& standard_channel();

// The channel of the request being served: standard_channel() unless a scope below says
// otherwise. serve_request sets it for the request's duration and puts the old one back.
request_channel& current_channel();

class channel_scope {
  public:
    explicit channel_scope(request_channel& channel) noexcept;
    ~channel_scope();
    channel_scope(const channel_scope&) = delete;
    channel_scope& operator=(const channel_scope&) = delete;

  private:
    request_channel* saved_;
};

#endif  // VELTO_CGI_CHANNEL_H
