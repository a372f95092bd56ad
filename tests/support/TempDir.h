#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace sarnovelle::test {

// A fresh folder under the system's temporary directory, removed with
// everything in it when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(std::string_view name) const { return path_ / name; }

    // Writes `content` to `name` (parents created) and returns its path.
    std::filesystem::path write(std::string_view name, std::string_view content) const;
    // Writes an executable /bin/sh script with `body` after the shebang.
    std::filesystem::path script(std::string_view name, std::string_view body) const;

private:
    std::filesystem::path path_;
};

std::string readText(const std::filesystem::path& path);

} // namespace sarnovelle::test
