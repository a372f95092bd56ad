#include "ui/Bundle.h"

#include "core/Plist.h"
#include "core/Sha256.h"

#include <QCoreApplication>

#include <fstream>
#include <iterator>
#include <optional>

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

Bundle Bundle::inFolder(const std::filesystem::path& folder)
{
    return Bundle{folder / "BOOTX64.EFI", folder / "Info.plist"};
}

Bundle Bundle::main()
{
    const std::filesystem::path exeDir = QCoreApplication::applicationDirPath().toStdString();
#ifdef __APPLE__
    // <App>.app/Contents/MacOS/<exe>
    const auto contents = (exeDir / "..").lexically_normal();
    return Bundle{contents / "Resources" / "BOOTX64.EFI", contents / "Info.plist"};
#else
    return inFolder((exeDir / SARNOVELLE_REL_SHARE).lexically_normal());
#endif
}

VerifiedImage verifyImage(const Bundle& bundle)
{
    VerifiedImage result;
    // A directory opens as a stream on Linux but reads nothing useful.
    std::error_code error;
    if (!std::filesystem::is_regular_file(bundle.image, error)) {
        return result;
    }
    auto bytes = readWhole(bundle.image);
    if (!bytes) {
        return result;
    }
    result.image = std::move(*bytes);
    result.imageHash = sha256Hex(result.image);

    std::string expected;
    if (const auto info = readWhole(bundle.infoPlist)) {
        if (const auto dict = PlistDict::parse(*info)) {
            expected = dict->text("SarnovelleImageSHA256").value_or("");
        }
    }
    result.imageOk = !expected.empty() && expected == result.imageHash;
    return result;
}

} // namespace sarnovelle
