#include "TempDir.h"

#include "core/MakerError.h"
#include "core/Sha256.h"
#include "maker/FileIo.h"
#include "maker/MediumIo.h"

#include "core/UniqueFd.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>

namespace sarnovelle::test {
namespace {

namespace fs = std::filesystem;

Bytes randomBytes(std::size_t size, unsigned seed)
{
    std::mt19937 generator(seed);
    Bytes bytes(size);
    for (auto& byte : bytes) {
        byte = static_cast<std::uint8_t>(generator());
    }
    return bytes;
}

template <typename Call>
std::string messageOf(Call call)
{
    try {
        call();
    } catch (const MakerError& error) {
        return error.message();
    }
    return "(no error)";
}

mode_t permissions(const fs::path& path)
{
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0);
    return info.st_mode & 07777;
}

TEST(WriteFile, CreatesWithMode644AndOverwritesAndTruncates)
{
    TempDir dir;
    const auto file = (dir / "BOOTX64.EFI").string();
    const mode_t previous = ::umask(022);
    writeFile(file, randomBytes(5000, 1));
    ::umask(previous);
    EXPECT_EQ(permissions(file), 0644U);
    EXPECT_EQ(readFileUncached(file), randomBytes(5000, 1));

    // An existing file keeps its own permission bits.
    fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write);
    writeFile(file, toBytes("short"));
    EXPECT_EQ(readText(file), "short");
    EXPECT_EQ(permissions(file), 0600U);

    writeFile(file, Bytes{});
    EXPECT_EQ(fs::file_size(file), 0U);
    EXPECT_TRUE(readFileUncached(file).empty());
}

TEST(WriteFile, ReportsEachFailingCallWithThePathAndTheSystemsText)
{
    TempDir dir;
    const auto missing = (dir / "no-such-folder" / "file").string();
    EXPECT_EQ(messageOf([&] { writeFile(missing, toBytes("x")); }),
              "Cannot create " + missing + ": No such file or directory");
    EXPECT_EQ(messageOf([&] { writeFile(dir.path().string(), toBytes("x")); }),
              "Cannot create " + dir.path().string() + ": Is a directory");
    // Writing to a full device fails in write(2); /dev/null takes the
    // bytes but cannot be flushed.
    EXPECT_EQ(messageOf([] { writeFile("/dev/full", toBytes("x")); }),
              "Write to /dev/full failed: No space left on device");
    EXPECT_EQ(messageOf([] { writeFile("/dev/null", toBytes("x")); }),
              "Flush of /dev/null failed: Invalid argument");
}

// Sizes around the 1 MiB read buffer, on the file systems at hand: the
// temporary folder's (direct I/O) and tmpfs when present.
TEST(ReadFileUncached, ReadsWholeFilesAroundTheBufferSize)
{
    TempDir dir;
    std::vector<fs::path> folders{dir.path()};
    if (fs::is_directory("/dev/shm")) {
        folders.emplace_back("/dev/shm");
    }
    for (const auto& folder : folders) {
        for (const std::size_t size : {std::size_t{1}, std::size_t{4095}, std::size_t{1048576},
                                       std::size_t{1048577}, std::size_t{3 * 1048576 + 513}}) {
            const auto file = (folder / ("readback-" + std::to_string(::getpid()) + "-" + std::to_string(size))).string();
            const Bytes data = randomBytes(size, static_cast<unsigned>(size));
            writeFile(file, data);
            const Bytes back = readFileUncached(file);
            fs::remove(file);
            EXPECT_EQ(back.size(), size) << file;
            EXPECT_TRUE(back == data) << file;
        }
    }
}

TEST(ReadFileUncached, ReadsFilesOfFileSystemsWithoutDirectIo)
{
    // procfs refuses direct I/O; the file is read normally.
    const Bytes version = readFileUncached("/proc/version");
    EXPECT_EQ(std::string(version.begin(), version.end()), readText("/proc/version"));
    EXPECT_FALSE(version.empty());
}

#ifdef __linux__
// A direct read the file system refuses (here: a buffer not aligned for
// direct I/O) is made again through the cache, and the descriptor stays
// on ordinary reads from then on.
TEST(ReadFileUncached, RefusedDirectReadFallsBackToACachedRead)
{
    TempDir dir;
    const auto file = (dir / "image").string();
    const Bytes data = randomBytes(10000, 7);
    writeFile(file, data);

    const UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(fd);
    bypassCache(fd.get());
    if ((::fcntl(fd.get(), F_GETFL) & O_DIRECT) == 0) {
        GTEST_SKIP() << "the temporary folder's file system does not take O_DIRECT";
    }
    std::vector<std::uint8_t> buffer(2 * uncachedAlignment + 1);
    std::uint8_t* misaligned = buffer.data();
    while (reinterpret_cast<std::uintptr_t>(misaligned) % uncachedAlignment != 1) {
        ++misaligned;
    }
    ASSERT_EQ(::read(fd.get(), misaligned, uncachedAlignment), -1) << "the kernel took a misaligned direct read";
    ASSERT_EQ(errno, EINVAL);

    ASSERT_EQ(readUncached(fd.get(), misaligned, uncachedAlignment), static_cast<ssize_t>(uncachedAlignment));
    EXPECT_TRUE(std::equal(misaligned, misaligned + uncachedAlignment, data.begin()));
    EXPECT_EQ(::fcntl(fd.get(), F_GETFL) & O_DIRECT, 0);
}
#endif

// The folders to try file I/O in: the temporary folder's file system (which
// usually takes direct I/O) and tmpfs (which refuses it) when present.
std::vector<fs::path> fileSystems(const TempDir& dir)
{
    std::vector<fs::path> folders{dir.path()};
    if (fs::is_directory("/dev/shm")) {
        folders.emplace_back("/dev/shm");
    }
    return folders;
}

std::string scratchName(const fs::path& folder, const std::string& what, std::size_t size)
{
    return (folder / (what + "-" + std::to_string(::getpid()) + "-" + std::to_string(size))).string();
}

// Whole blocks go out bypassing the cache, the rest through it; sizes just
// around the block and the write piece, from an aligned source and from one
// that is not, must all arrive byte for byte.
TEST(WriteFile, WritesEverySizeAroundBlocksAndPiecesFromAnyAddress)
{
    constexpr std::size_t block = 4096;
    constexpr std::size_t piece = 8 * 1048576;
    TempDir dir;
    const Bytes data = randomBytes(2 * piece + block + 1, 11);
    // The source once at a block boundary and once one byte past it.
    std::unique_ptr<std::uint8_t, decltype(&std::free)> aligned(
        static_cast<std::uint8_t*>(std::aligned_alloc(block, (data.size() / block + 2) * block)), &std::free);
    ASSERT_TRUE(aligned);
    for (const auto& folder : fileSystems(dir)) {
        for (const std::size_t size : {block - 1, block, block + 1, 3 * block + 7, piece, piece + block + 1,
                                       2 * piece + block + 1}) {
            for (const std::size_t shift : {std::size_t{0}, std::size_t{1}}) {
                std::memcpy(aligned.get() + shift, data.data(), size);
                const auto file = scratchName(folder, "write", size);
                writeFile(file, ByteView(aligned.get() + shift, size));
                const Bytes back = readFileUncached(file);
                fs::remove(file);
                ASSERT_EQ(back.size(), size) << file << " from shift " << shift;
                EXPECT_TRUE(std::equal(back.begin(), back.end(), data.begin())) << file << " from shift " << shift;
            }
        }
    }
}

TEST(WriteFile, TruncatesALargerFileWrittenInBlocks)
{
    TempDir dir;
    const auto file = (dir / "image").string();
    writeFile(file, randomBytes(9 * 1048576 + 3, 5));
    writeFile(file, randomBytes(5000, 6));
    EXPECT_EQ(readFileUncached(file), randomBytes(5000, 6));
}

// The digest taken while reading equals the digest of the bytes that
// readFileUncached collects, around the read buffer's size.
TEST(Sha256OfFileUncached, MatchesTheDigestOfTheWholeFile)
{
    TempDir dir;
    for (const auto& folder : fileSystems(dir)) {
        for (const std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{1048575}, std::size_t{1048576},
                                       std::size_t{1048577}, std::size_t{3 * 1048576 + 513}}) {
            const auto file = scratchName(folder, "digest", size);
            const Bytes data = randomBytes(size, static_cast<unsigned>(size) + 3);
            writeFile(file, data);
            const std::string streamed = sha256OfFileUncached(file);
            const Bytes back = readFileUncached(file);
            fs::remove(file);
            EXPECT_EQ(streamed, sha256Hex(data)) << file;
            EXPECT_EQ(streamed, sha256Hex(back)) << file;
        }
    }
}

TEST(Sha256OfFileUncached, FailsAsReadFileUncachedDoes)
{
    TempDir dir;
    const auto missing = (dir / "EFI" / "BOOT" / "BOOTX64.EFI").string();
    EXPECT_EQ(messageOf([&] { sha256OfFileUncached(missing); }),
              "Cannot open " + missing + ": No such file or directory");
    EXPECT_EQ(messageOf([&] { sha256OfFileUncached(dir.path().string()); }),
              "Read of " + dir.path().string() + " failed: Is a directory");
}

TEST(ReadFileUncached, ReportsAMissingPathAndAFolder)
{
    TempDir dir;
    const auto missing = (dir / "EFI" / "BOOT" / "BOOTX64.EFI").string();
    EXPECT_EQ(messageOf([&] { readFileUncached(missing); }), "Cannot open " + missing + ": No such file or directory");
    EXPECT_EQ(messageOf([&] { readFileUncached(dir.path().string()); }),
              "Read of " + dir.path().string() + " failed: Is a directory");
}

} // namespace
} // namespace sarnovelle::test
