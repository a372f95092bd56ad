#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace sarnovelle {

// The application's build-time constants. There is no configuration file,
// no command line and no stored setting: every tunable value is here.
struct Config {
    Config() = delete;

    static constexpr std::string_view title = "Tessamir Sarnovelle USB Maker";
    static constexpr std::uint64_t partitionMiB = 1024;
    static constexpr std::string_view volumeLabel = "SARNOVELLE";
    static const std::string_view notice;

    // The disk utility every disk command goes through. On macOS the
    // platform's own; elsewhere the stand-in shipped beside the application
    // (<libexecdir>/sarnovelle-usb-maker/diskutil, found from the running
    // executable's own path by the path between the configured install
    // directories).
    static const std::string& diskutil();
};

} // namespace sarnovelle
