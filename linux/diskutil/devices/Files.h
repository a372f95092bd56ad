#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace sarnovelle::standin {

// Reads a small text file (a sysfs attribute, a line list of /proc);
// absent when it cannot be read.
std::optional<std::string> readSmallFile(const std::filesystem::path& path);

// The file's first line with surrounding blanks removed; absent when it
// cannot be read.
std::optional<std::string> readAttribute(const std::filesystem::path& path);

// Writes `value` to an existing kernel attribute file (never creates one).
// Returns the error number, 0 on success.
int writeAttribute(const std::filesystem::path& path, const std::string& value);

// Folds every run of blanks, tabs and line breaks into one blank and
// removes them at both ends.
std::string foldBlanks(const std::string& text);

// The system's text for an error number.
std::string errorText(int error);

} // namespace sarnovelle::standin
