// io.h: descriptor reads and writes that a signal cannot cut short.
#ifndef VELTO_BASE_IO_H
#define VELTO_BASE_IO_H

#include <sys/types.h>

#include <cstddef>
#include <string_view>

// Reads from `fd` until `capacity` bytes have arrived or the input ends, retrying what EINTR
// interrupts. The number of bytes read, or -1 on a read error. Asking for one byte more than a
// file's size shows whether it grew.
ssize_t read_up_to(int fd, void* out, std::size_t capacity);

// Writes all of `bytes`, retrying what EINTR interrupts and short writes; false on any failure.
bool write_all(int fd, std::string_view bytes);

#endif  // VELTO_BASE_IO_H
