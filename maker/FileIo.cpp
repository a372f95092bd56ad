#include "maker/FileIo.h"

#include "core/MakerError.h"
#include "core/Sha256.h"
#include "core/UniqueFd.h"
#include "maker/MediumIo.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace sarnovelle {

namespace {

constexpr std::size_t readBufferSize = 1048576;
// Cache-bypassing writes go out in pieces of this size: large enough for
// the device to stream, small enough to stage through one buffer.
constexpr std::size_t writePieceSize = 8 * readBufferSize;

// The text of an error number saved right where the call failed, before
// anything else could change errno.
std::string errorText(int error) { return std::strerror(error); }

struct FreeDeleter {
    void operator()(void* memory) const { std::free(memory); }
};
using AlignedBuffer = std::unique_ptr<std::uint8_t[], FreeDeleter>;

// Zero-filled memory aligned for cache-bypassing transfers.
AlignedBuffer allocateAligned(std::size_t size)
{
    void* memory = nullptr;
    if (::posix_memalign(&memory, uncachedAlignment, size) != 0) {
        throw std::bad_alloc();
    }
    std::memset(memory, 0, size);
    return AlignedBuffer(static_cast<std::uint8_t*>(memory));
}

bool isAligned(const void* address) { return reinterpret_cast<std::uintptr_t>(address) % uncachedAlignment == 0; }

// One write(2): the bytes taken, or 0 with `error` set. A write that takes
// no bytes has no error number of its own and counts as an I/O error.
std::size_t writeOnce(int fd, const std::uint8_t* bytes, std::size_t size, int& error)
{
    const ssize_t written = ::write(fd, bytes, size);
    if (written < 0) {
        error = errno;
        return 0;
    }
    if (written == 0) {
        error = EIO;
        return 0;
    }
    return static_cast<std::size_t>(written);
}

// Writes the whole aligned blocks at the front of `data` bypassing the
// cache, where the platform and file system take it. Returns how many bytes
// went out; stops early, leaving the rest to the cached path, when the file
// system refuses a direct write. Other failures set `error`.
std::size_t writeUncachedBlocks(int fd, ByteView data, int& error)
{
    const std::size_t blocks = data.size() / uncachedAlignment * uncachedAlignment;
    if (blocks == 0 || !startUncachedWrites(fd)) {
        return 0;
    }
    AlignedBuffer staging;
    std::size_t offset = 0;
    while (offset < blocks && error == 0) {
        const std::size_t size = std::min(writePieceSize, blocks - offset);
        const std::uint8_t* source = data.data() + offset;
        if (!isAligned(source)) {
            if (!staging) {
                staging = allocateAligned(writePieceSize);
            }
            std::memcpy(staging.get(), source, size);
            source = staging.get();
        }
        const std::size_t written = writeOnce(fd, source, size, error);
        if (error == EINVAL) {
            error = 0; // no direct I/O for this write after all
            break;
        }
        offset += written;
        if (offset % uncachedAlignment != 0) {
            break; // a short write left the offset unaligned
        }
    }
    endUncachedWrites(fd);
    return offset;
}

// Reads the file at `path` through one aligned buffer with the cache
// bypassed and hands each piece, in order, to `take`.
template <typename Take>
void readPiecesUncached(const std::string& path, Take&& take)
{
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        const int error = errno;
        throw MakerError("Cannot open " + path + ": " + errorText(error));
    }
    bypassCache(fd.get());
    const AlignedBuffer buffer = allocateAligned(readBufferSize);
    for (;;) {
        const ssize_t count = readUncached(fd.get(), buffer.get(), readBufferSize);
        if (count < 0) {
            const int error = errno;
            throw MakerError("Read of " + path + " failed: " + errorText(error));
        }
        if (count == 0) {
            return;
        }
        take(ByteView(buffer.get(), static_cast<std::size_t>(count)));
    }
}

} // namespace

void writeFile(const std::string& path, ByteView data)
{
    const UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd) {
        const int error = errno;
        throw MakerError("Cannot create " + path + ": " + errorText(error));
    }
    // Whole blocks first, bypassing the cache where possible; the rest (or
    // everything, where direct writes are not taken) through the cache.
    int error = 0;
    std::size_t offset = writeUncachedBlocks(fd.get(), data, error);
    while (error == 0 && offset < data.size()) {
        offset += writeOnce(fd.get(), data.data() + offset, data.size() - offset, error);
    }
    if (error != 0) {
        throw MakerError("Write to " + path + " failed: " + errorText(error));
    }
    if (flushToMedium(fd.get()) != 0) {
        const int flushError = errno;
        throw MakerError("Flush of " + path + " failed: " + errorText(flushError));
    }
    // The descriptor is closed when `fd` goes, on every path, after the
    // message has been formed.
}

Bytes readFileUncached(const std::string& path)
{
    Bytes result;
    readPiecesUncached(path, [&](ByteView piece) { result.insert(result.end(), piece.begin(), piece.end()); });
    return result;
}

std::string sha256OfFileUncached(const std::string& path)
{
    Sha256 digest;
    readPiecesUncached(path, [&](ByteView piece) { digest.update(piece); });
    return digest.hexDigest();
}

} // namespace sarnovelle
