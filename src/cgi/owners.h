// owners.h: RAII owners for the process's heap blocks, streams and descriptors.
#ifndef VELTO_CGI_OWNERS_H
#define VELTO_CGI_OWNERS_H

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

// Blocks come from qsr_malloc, whose contract is release by free(), never delete.
struct free_deleter {
    void operator()(void* block) const noexcept { std::free(block); }
};
template <typename T>
using heap_ptr = std::unique_ptr<T, free_deleter>;
using heap_text = heap_ptr<char>;

// Owns a FILE*. close() reports fclose's result and forgets the stream either way, so a stream
// is never closed twice even when its close failed.
class file_owner {
  public:
    explicit file_owner(std::FILE* stream = nullptr) noexcept : stream_(stream) {}
    file_owner(const file_owner&) = delete;
    file_owner& operator=(const file_owner&) = delete;
    ~file_owner() { close(); }

    std::FILE* get() const noexcept { return stream_; }
    explicit operator bool() const noexcept { return stream_ != nullptr; }
    bool close() noexcept {
        if (stream_ == nullptr) return true;
        const int result = std::fclose(stream_);
        stream_ = nullptr;
        return result == 0;
    }

  private:
    std::FILE* stream_;
};

// Owns a descriptor; -1 means none (0 is a valid descriptor). Same close() contract as above.
class fd_owner {
  public:
    explicit fd_owner(int fd = -1) noexcept : fd_(fd) {}
    fd_owner(const fd_owner&) = delete;
    fd_owner& operator=(const fd_owner&) = delete;
    ~fd_owner() { close(); }

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    bool close() noexcept {
        if (fd_ < 0) return true;
        const int result = ::close(fd_);
        fd_ = -1;
        return result == 0;
    }

  private:
    int fd_;
};

#endif  // VELTO_CGI_OWNERS_H
