#include "core/ImageCheck.h"

#include "core/Plist.h"
#include "core/Sha256.h"

#include <fstream>
#include <iterator>
#include <optional>
#include <system_error>

namespace sarnovelle {

namespace {

std::optional<Bytes> readWhole(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    Bytes bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad()) {
        return std::nullopt;
    }
    return bytes;
}

} // namespace

VerifiedImage verifyImage(const std::filesystem::path& image, const std::filesystem::path& infoPlist)
{
    VerifiedImage result;
    // A directory opens as a stream on Linux but reads nothing useful.
    std::error_code error;
    if (!std::filesystem::is_regular_file(image, error)) {
        return result;
    }
    auto bytes = readWhole(image);
    if (!bytes) {
        return result;
    }
    result.image = std::move(*bytes);
    result.imageHash = sha256Hex(result.image);

    std::string expected;
    if (const auto info = readWhole(infoPlist)) {
        if (const auto dict = PlistDict::parse(*info)) {
            expected = dict->text("SarnovelleImageSHA256").value_or("");
        }
    }
    result.imageOk = !expected.empty() && expected == result.imageHash;
    return result;
}

} // namespace sarnovelle
