// A fresh folder for a test's files, removed with everything in it, and the
// small file chores the tests share.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "support/Environment.h"

struct ScratchDir {
    std::filesystem::path path;

    // A new folder in the system's temporary folder (/tmp, or %TEMP% on
    // Windows); never one that exists already.
    explicit ScratchDir(const std::string& prefix) {
        std::random_device random;
        const std::filesystem::path base = std::filesystem::temp_directory_path();
        for (int attempt = 0; attempt < 100 && path.empty(); ++attempt) {
            const std::filesystem::path candidate = base / (prefix + "-" + std::to_string(random()));
            std::error_code error;
            if (std::filesystem::create_directory(candidate, error)) path = candidate;
        }
    }
    ~ScratchDir() {
        std::error_code ignored;
        if (!path.empty()) std::filesystem::remove_all(path, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    std::filesystem::path operator/(const std::filesystem::path& relative) const { return path / relative; }
};

// Writes the bytes, making the folders on the way; returns the path.
inline std::string WriteFile(const std::filesystem::path& p, const std::vector<uint8_t>& bytes) {
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
    return p.string();
}

inline std::string Slurp(const std::filesystem::path& p) {
    std::ifstream f(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

// Points the programs a test runs at a settings file of the test's own
// whose saved address is a unit on loopback, so nothing can fall back to
// the default address of a real unit.
inline void UseLoopbackSettings(const std::filesystem::path& file, const std::string& address = "127.0.0.1") {
    std::ofstream(file) << "Windows Registry Editor Version 5.00\n\n"
                           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvanex\\TR52K]\n\"ETHERNET_IP_ADDR\"=\""
                        << address << "\"\n";
    SetEnvironment("TR52K_REGISTRY_FILE", file.string());
}

