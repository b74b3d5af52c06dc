#include "platform/CommandLine.h"

#include <cstdlib>

CUtf8Arguments::CUtf8Arguments(int argc, char** argv) : m_args(argv, argv + argc) {
    for (auto& a : m_args) m_pointers.push_back(a.data());
    m_pointers.push_back(nullptr);
}

std::string EnvironmentUtf8(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}
