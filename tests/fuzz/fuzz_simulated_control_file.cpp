// The simulator's control file, made of arbitrary bytes, read as the simulated link's watcher reads it and
// every line applied to the link. Properties: the lines come back trimmed, lower-case, with no blank lines
// or comments; an unchanged file yields nothing the second time; and applying any line leaves the link
// usable (the instrument can still be opened after a final "plug").

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include <QTemporaryDir>

#include "FuzzCheck.h"
#include "FuzzQuiet.h"
#include "SimulatedControlFile.h"
#include "SimulatedLink.h"

namespace {

QTemporaryDir *g_root = nullptr;

bool isSpace(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    silenceProgramLogging();
    static QTemporaryDir root;
    if (!root.isValid()) {
        std::abort();
    }
    g_root = &root;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::filesystem::path path = g_root->filePath(QStringLiteral("control")).toStdString();
    {
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
        FUZZ_CHECK(file.good());
    }
    SimulatedControlFile control(path);
    const auto lines = control.changedLines();
    FUZZ_CHECK(lines.has_value());
    for (const std::string &line : *lines) {
        FUZZ_CHECK(!line.empty());
        FUZZ_CHECK(line.front() != '#');
        FUZZ_CHECK(!isSpace(line.front()) && !isSpace(line.back()));
        FUZZ_CHECK(line.find('\n') == std::string::npos);
        for (const char c : line) {
            FUZZ_CHECK(!std::isupper(static_cast<unsigned char>(c)));
        }
    }
    FUZZ_CHECK(!control.changedLines().has_value());

    SimulatedLink link;
    for (const std::string &line : *lines) {
        link.applyControlCommand(line);
    }
    FUZZ_CHECK(link.applyControlCommand("plug"));
    ft::Handle handle = nullptr;
    FUZZ_CHECK(link.openEx("VANTIKO", ft::OpenBySerialNumber, &handle) == ft::Ok);
    FUZZ_CHECK(link.close(handle) == ft::Ok);
    return 0;
}
