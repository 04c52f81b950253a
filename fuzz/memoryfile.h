// Fuzz input as a file: readers that take a path read the bytes from an
// anonymous memory file, under /proc/self/fd.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

class MemoryFile {
public:
    MemoryFile(const uint8_t* data, size_t size) : fd_(memfd_create("fuzz", 0))
    {
        for (size_t done = 0; fd_ >= 0 && done < size;) {
            const ssize_t n = write(fd_, data + done, size - done);
            if (n <= 0) {
                close(fd_);
                fd_ = -1;
                break;
            }
            done += size_t(n);
        }
    }
    ~MemoryFile()
    {
        if (fd_ >= 0) close(fd_);
    }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;

    bool ok() const { return fd_ >= 0; }
    std::string path() const { return "/proc/self/fd/" + std::to_string(fd_); }

private:
    int fd_;
};
