#include "TempDir.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace sarnovelle::test {

TempDir::TempDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "sarnovelle-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::filesystem::path TempDir::write(std::string_view name, std::string_view content) const
{
    const auto file = path_ / name;
    std::filesystem::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + file.string());
    }
    return file;
}

std::filesystem::path TempDir::script(std::string_view name, std::string_view body) const
{
    const auto file = write(name, "#!/bin/sh\n" + std::string(body));
    std::filesystem::permissions(file, std::filesystem::perms::owner_all | std::filesystem::perms::group_read
                                           | std::filesystem::perms::group_exec);
    return file;
}

std::string readText(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

} // namespace sarnovelle::test
