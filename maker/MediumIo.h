#pragma once

#include <cstddef>
#include <sys/types.h>

namespace sarnovelle {

// The platform-specific pieces of writeFile and readFileUncached.

// Pushes everything written through `fd` to the medium's permanent
// storage. 0 on success; -1 with errno set otherwise.
int flushToMedium(int fd);

// Asks that reads through `fd` bypass the data cache. Best effort: when the
// platform or the file system declines, reads go on through the cache.
void bypassCache(int fd);

// Alignment the buffers, lengths and file offsets of cache-bypassing reads
// and writes need.
inline constexpr std::size_t uncachedAlignment = 4096;

// Asks that writes through `fd` bypass the data cache. True when the
// platform took the request; each write must then be a whole multiple of
// uncachedAlignment, from memory aligned to it, at an aligned offset, and
// the file system may still refuse one with EINVAL.
bool startUncachedWrites(int fd);

// Back to ordinary writes through the cache.
void endUncachedWrites(int fd);

// One read(2) through a descriptor prepared by bypassCache. Returns what
// read returns, with errno set for -1.
ssize_t readUncached(int fd, void* buffer, std::size_t size);

} // namespace sarnovelle
