#include "SimulatedControlFile.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <system_error>

namespace {

std::string normalised(const std::string &line) {
    const auto isSpace = [](unsigned char c) { return std::isspace(c) != 0; };
    const auto first = std::find_if_not(line.begin(), line.end(), isSpace);
    const auto last = std::find_if_not(line.rbegin(), line.rend(), isSpace).base();
    std::string text = first < last ? std::string(first, last) : std::string();
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

}  // namespace

SimulatedControlFile::SimulatedControlFile(std::filesystem::path path) : m_path(std::move(path)) {}

std::optional<SimulatedControlFile::Stamp> SimulatedControlFile::currentStamp() const {
    std::error_code error;
    const auto modified = std::filesystem::last_write_time(m_path, error);
    if (error) {
        return std::nullopt;
    }
    const auto size = std::filesystem::file_size(m_path, error);
    if (error) {
        return std::nullopt;
    }
    return Stamp{modified, size};
}

std::optional<std::vector<std::string>> SimulatedControlFile::changedLines() {
    const std::optional<Stamp> stamp = currentStamp();
    if (stamp == m_lastStamp) {
        return std::nullopt;
    }
    m_lastStamp = stamp;
    if (!stamp) {
        return std::nullopt;
    }
    std::ifstream file(m_path);
    if (!file) {
        return std::nullopt;
    }
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) {
        std::string text = normalised(line);
        if (!text.empty() && text.front() != '#') {
            lines.push_back(std::move(text));
        }
    }
    return lines;
}
