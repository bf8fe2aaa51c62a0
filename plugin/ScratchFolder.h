// A temporary folder that stands in for the settings hives and the application-data folder,
// so tests and benchmarks neither read the machine's settings nor write into its logs.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

class ScratchFolder {
public:
    explicit ScratchFolder(const char* name) {
        std::string pattern = "/tmp/" + std::string(name) + ".XXXXXX";
        if (mkdtemp(pattern.data()) != nullptr) {
            path = pattern;
            setenv("PELMO_REGISTRY", path.c_str(), 1);
            setenv("PELMO_APPDATA", path.c_str(), 1);
        }
    }
    ~ScratchFolder() {
        std::error_code ignored;
        if (!path.empty()) std::filesystem::remove_all(path, ignored);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    // Empty when no folder could be made.
    const std::string& get() const { return path; }

private:
    std::string path;
};
