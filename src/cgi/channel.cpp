// channel.cpp: the standard streams as a channel, and the channel in force.
#include "cgi/channel.h"

#include <cstdio>

namespace {

class standard_streams final : public request_channel {
  public:
    std::size_t read(char* into, std::size_t size) override {
        return std::fread(into, 1, size, stdin);
    }
    void write(const char* bytes, std::size_t size) override {
        std::fwrite(bytes, 1, size, stdout);
    }
};

constinit standard_streams standard_streams_channel;
constinit request_channel* channel_in_force = &standard_streams_channel;

}  // namespace

request_channel& standard_channel() {
    return standard_streams_channel;
}

request_channel& current_channel() {
    return *channel_in_force;
}

channel_scope::channel_scope(request_channel& channel) noexcept : saved_(channel_in_force) {
    channel_in_force = &channel;
}

channel_scope::~channel_scope() {
    channel_in_force = saved_;
}
