#include "ui/Bundle.h"

#include <QCoreApplication>

namespace sarnovelle {

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
    return verifyImage(bundle.image, bundle.infoPlist);
}

} // namespace sarnovelle
