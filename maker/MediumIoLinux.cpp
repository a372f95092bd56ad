#include "maker/MediumIo.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace sarnovelle {

// fsync writes the file's data and metadata and then flushes the drive's
// volatile write cache, which is what the flush must guarantee.
int flushToMedium(int fd) { return ::fsync(fd); }

// Cached pages of the file are dropped, then O_DIRECT makes every read go
// to the device. File systems without direct I/O refuse the flag; the file
// is then read normally (its pages were still dropped first).
void bypassCache(int fd)
{
    (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) {
        (void)::fcntl(fd, F_SETFL, flags | O_DIRECT);
    }
}

// O_DIRECT for writing is asked for on the open descriptor; file systems
// without direct I/O refuse the flag here. Some take it and still write
// through the cache where direct I/O cannot serve a write (FAT, for writes
// that extend a file), but then write those pages out before the call
// returns and drop them, which keeps the cache from filling with the image.
bool startUncachedWrites(int fd)
{
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_DIRECT) == 0;
}

void endUncachedWrites(int fd)
{
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0 && (flags & O_DIRECT) != 0) {
        (void)::fcntl(fd, F_SETFL, flags & ~O_DIRECT);
    }
}

// Some file systems accept O_DIRECT on the descriptor but refuse a
// particular read (alignment, or no direct I/O after all) with EINVAL.
// Then the flag is cleared and the same read is made through the cache,
// once; every later read on the descriptor is ordinary.
ssize_t readUncached(int fd, void* buffer, std::size_t size)
{
    const ssize_t count = ::read(fd, buffer, size);
    if (count >= 0 || errno != EINVAL) {
        return count;
    }
    const int savedErrno = errno;
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || (flags & O_DIRECT) == 0 || ::fcntl(fd, F_SETFL, flags & ~O_DIRECT) != 0) {
        errno = savedErrno;
        return -1;
    }
    return ::read(fd, buffer, size);
}

} // namespace sarnovelle
