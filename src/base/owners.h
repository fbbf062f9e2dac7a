// owners.h: RAII owners for heap blocks, streams, descriptors and directory listings.
#ifndef VELTO_BASE_OWNERS_H
#define VELTO_BASE_OWNERS_H

#include <dirent.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <memory>

// Blocks come from qsr_malloc or realloc, whose contract is release by free(), never delete.
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
    fd_owner(fd_owner&& other) noexcept : fd_(other.release()) {}
    fd_owner& operator=(fd_owner&& other) noexcept {
        if (this != &other) {
            close();
            fd_ = other.release();
        }
        return *this;
    }
    fd_owner(const fd_owner&) = delete;
    fd_owner& operator=(const fd_owner&) = delete;
    ~fd_owner() { close(); }

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    int release() noexcept {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    bool close() noexcept {
        if (fd_ < 0) return true;
        const int result = ::close(fd_);
        fd_ = -1;
        return result == 0;
    }

  private:
    int fd_;
};

// A growable heap block for file contents, released with free.
class byte_buffer {
  public:
    byte_buffer() = default;
    byte_buffer(const byte_buffer&) = delete;
    byte_buffer& operator=(const byte_buffer&) = delete;
    ~byte_buffer() { std::free(data_); }

    // Room for `size` bytes and one more, so that a caller may end the contents with a NUL.
    // False, leaving the old contents, when that cannot be had.
    bool reserve(std::size_t size) noexcept {
        if (size <= capacity_ && data_ != nullptr) return true;
        void* grown = std::realloc(data_, size + 1);
        if (grown == nullptr) return false;
        data_ = static_cast<unsigned char*>(grown);
        capacity_ = size;
        return true;
    }
    unsigned char* data() noexcept { return data_; }
    const unsigned char* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    void set_size(std::size_t size) noexcept { size_ = size; }

  private:
    unsigned char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

// Owns a directory listing. next() gives each name but "." and ".."; once it has returned null,
// failed() tells a listing that ended on a read error from one that reached its end.
class directory_scan {
  public:
    // Lists the directory open as `fd`, which the scan then owns; with -1, or when the listing
    // cannot be set up, the scan lists nothing and tests false.
    explicit directory_scan(int fd) noexcept;
    explicit directory_scan(const char* path) noexcept;
    directory_scan(const directory_scan&) = delete;
    directory_scan& operator=(const directory_scan&) = delete;
    ~directory_scan();

    explicit operator bool() const noexcept { return stream_ != nullptr; }
    // The listed directory's descriptor, for the *at() calls on its entries; -1 when none.
    int fd() const noexcept;
    const char* next() noexcept;
    bool failed() const noexcept { return failed_; }

  private:
    DIR* stream_;
    bool failed_ = false;
};

#endif  // VELTO_BASE_OWNERS_H
