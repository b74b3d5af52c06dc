#include "platform/CommandLine.h"

CUtf8Arguments::CUtf8Arguments(int argc, char** argv) : m_args(argv, argv + argc) {
    for (auto& a : m_args) m_pointers.push_back(a.data());
    m_pointers.push_back(nullptr);
}
