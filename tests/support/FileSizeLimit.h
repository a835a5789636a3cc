#pragma once

#include <sys/resource.h>

// Files this process writes may grow to at most `bytes` while the object
// lives: a disk that fills up in the middle of a write, without root or a
// small file system. Writes past the limit fail with EFBIG (SIGXFSZ ignored).
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes);
    ~FileSizeLimit();
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit saved{};
    void (*oldHandler)(int) = nullptr;
};
