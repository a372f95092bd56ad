#pragma once

// Small file helpers shared by the fake disk utility program and the
// scenario builder that tests use; see FakeDiskutil.h for the format.

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace sarnovelle::fake {

std::optional<std::string> readWhole(const std::filesystem::path& file);
void writeWhole(const std::filesystem::path& file, const std::string& content);

// "key=value" lines.
std::map<std::string, std::string> readSettings(const std::filesystem::path& file);
void writeSettings(const std::filesystem::path& file, const std::map<std::string, std::string>& settings);

// An argument list as stored in a rule's "args" file: every argument
// followed by one NUL byte.
std::string packArguments(const std::vector<std::string>& arguments);
std::vector<std::string> unpackArguments(const std::string& packed);

// One line of the invocation log: the arguments separated by TAB, with
// backslash, TAB and line feed inside an argument written as \\, \t, \n.
std::string logLine(const std::vector<std::string>& arguments);
std::vector<std::string> parseLogLine(const std::string& line);

} // namespace sarnovelle::fake
