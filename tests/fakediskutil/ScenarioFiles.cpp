#include "ScenarioFiles.h"

#include <unistd.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace sarnovelle::fake {

std::optional<std::string> readWhole(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    return std::string{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeWhole(const std::filesystem::path& file, const std::string& content)
{
    // Written aside and renamed over the file, so that a fake answering at
    // the same moment (two runs at once) reads the old or the new content,
    // never a half-written one.
    std::filesystem::path aside = file;
    aside += ".new" + std::to_string(::getpid());
    std::ofstream out(aside, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    out.close();
    if (!out) {
        throw std::runtime_error("cannot write " + file.string());
    }
    std::filesystem::rename(aside, file);
}

std::map<std::string, std::string> readSettings(const std::filesystem::path& file)
{
    std::map<std::string, std::string> settings;
    std::istringstream lines(readWhole(file).value_or(""));
    std::string line;
    while (std::getline(lines, line)) {
        const auto equals = line.find('=');
        if (equals != std::string::npos) {
            settings[line.substr(0, equals)] = line.substr(equals + 1);
        }
    }
    return settings;
}

void writeSettings(const std::filesystem::path& file, const std::map<std::string, std::string>& settings)
{
    std::string content;
    for (const auto& [key, value] : settings) {
        content += key + "=" + value + "\n";
    }
    writeWhole(file, content);
}

std::string packArguments(const std::vector<std::string>& arguments)
{
    std::string packed;
    for (const auto& argument : arguments) {
        packed += argument;
        packed.push_back('\0');
    }
    return packed;
}

std::vector<std::string> unpackArguments(const std::string& packed)
{
    std::vector<std::string> arguments;
    std::size_t start = 0;
    while (start < packed.size()) {
        const auto end = packed.find('\0', start);
        if (end == std::string::npos) {
            arguments.push_back(packed.substr(start));
            break;
        }
        arguments.push_back(packed.substr(start, end - start));
        start = end + 1;
    }
    return arguments;
}

std::string logLine(const std::vector<std::string>& arguments)
{
    std::string line;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        if (i > 0) {
            line.push_back('\t');
        }
        for (const char c : arguments[i]) {
            switch (c) {
            case '\\': line += "\\\\"; break;
            case '\t': line += "\\t"; break;
            case '\n': line += "\\n"; break;
            default: line.push_back(c);
            }
        }
    }
    return line;
}

std::vector<std::string> parseLogLine(const std::string& line)
{
    if (line.empty()) {
        return {};
    }
    std::vector<std::string> arguments(1);
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '\t') {
            arguments.emplace_back();
        } else if (c == '\\' && i + 1 < line.size()) {
            const char escaped = line[++i];
            arguments.back().push_back(escaped == 't' ? '\t' : escaped == 'n' ? '\n' : escaped);
        } else {
            arguments.back().push_back(c);
        }
    }
    return arguments;
}

} // namespace sarnovelle::fake
