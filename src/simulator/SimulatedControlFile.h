#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// A text file through which a person drives the simulated instrument while the program runs. The file is
// read again whenever its modification time or size changes; each read hands back all of its lines, so
// the file describes the state to put the instrument in ("flood", "battery=2100", ...).
//
// Not thread-safe; one poller owns it.
class SimulatedControlFile {
public:
    explicit SimulatedControlFile(std::filesystem::path path);

    const std::filesystem::path &path() const { return m_path; }
    // The file's lines (trimmed, lower-case, blank lines and "#" comments left out) when it changed since
    // the last call, the first call included; nothing while it is unchanged or missing.
    std::optional<std::vector<std::string>> changedLines();

private:
    struct Stamp {
        std::filesystem::file_time_type modified;
        std::uintmax_t size = 0;
        bool operator==(const Stamp &) const = default;
    };

    std::optional<Stamp> currentStamp() const;

    std::filesystem::path m_path;
    std::optional<Stamp> m_lastStamp;
};
