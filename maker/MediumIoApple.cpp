#include "maker/MediumIo.h"

#include <fcntl.h>
#include <unistd.h>

namespace sarnovelle {

// F_FULLFSYNC asks the drive itself to write all buffered data to
// permanent storage.
int flushToMedium(int fd) { return ::fcntl(fd, F_FULLFSYNC); }

// F_NOCACHE turns data caching off for this descriptor. Its result is not
// examined: the read goes on all the same.
void bypassCache(int fd) { (void)::fcntl(fd, F_NOCACHE, 1); }

// F_NOCACHE has no alignment rules; aligned writes simply skip the cache.
bool startUncachedWrites(int fd) { return ::fcntl(fd, F_NOCACHE, 1) == 0; }

void endUncachedWrites(int fd) { (void)::fcntl(fd, F_NOCACHE, 0); }

ssize_t readUncached(int fd, void* buffer, std::size_t size) { return ::read(fd, buffer, size); }

} // namespace sarnovelle
