#include "maker/FileIo.h"

#include "core/MakerError.h"
#include "core/UniqueFd.h"
#include "maker/MediumIo.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace sarnovelle {

namespace {

constexpr std::size_t readBufferSize = 1048576;

std::string systemError() { return std::strerror(errno); }

struct FreeDeleter {
    void operator()(void* memory) const { std::free(memory); }
};

// One zero-filled read buffer per call, aligned for cache-bypassing reads.
std::unique_ptr<std::uint8_t[], FreeDeleter> allocateReadBuffer()
{
    void* memory = nullptr;
    if (::posix_memalign(&memory, uncachedAlignment, readBufferSize) != 0) {
        throw std::bad_alloc();
    }
    std::memset(memory, 0, readBufferSize);
    return std::unique_ptr<std::uint8_t[], FreeDeleter>(static_cast<std::uint8_t*>(memory));
}

} // namespace

void writeFile(const std::string& path, ByteView data)
{
    const UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd) {
        throw MakerError("Cannot create " + path + ": " + systemError());
    }
    std::size_t offset = 0;
    while (offset < data.size()) {
        const ssize_t written = ::write(fd.get(), data.data() + offset, data.size() - offset);
        if (written < 1) {
            throw MakerError("Write to " + path + " failed: " + systemError());
        }
        offset += static_cast<std::size_t>(written);
    }
    if (flushToMedium(fd.get()) != 0) {
        throw MakerError("Flush of " + path + " failed: " + systemError());
    }
    // The descriptor is closed when `fd` goes, on every path, after the
    // message has been formed.
}

Bytes readFileUncached(const std::string& path)
{
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        throw MakerError("Cannot open " + path + ": " + systemError());
    }
    bypassCache(fd.get());
    const auto buffer = allocateReadBuffer();
    Bytes result;
    for (;;) {
        const ssize_t count = readUncached(fd.get(), buffer.get(), readBufferSize);
        if (count < 0) {
            throw MakerError("Read of " + path + " failed: " + systemError());
        }
        if (count == 0) {
            return result;
        }
        result.insert(result.end(), buffer.get(), buffer.get() + count);
    }
}

} // namespace sarnovelle
