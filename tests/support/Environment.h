// Setting and clearing a variable of the test process's environment, on
// POSIX and on Windows alike.
#pragma once

#include <cstdlib>
#include <string>
#include <utility>

inline void SetEnvironment(const std::string& name, const std::string& value) {
#ifdef _WIN32
    ::_putenv_s(name.c_str(), value.c_str());
#else
    ::setenv(name.c_str(), value.c_str(), 1);
#endif
}

inline void UnsetEnvironment(const std::string& name) {
#ifdef _WIN32
    ::_putenv_s(name.c_str(), "");  // an empty value removes it there
#else
    ::unsetenv(name.c_str());
#endif
}

// A variable set (or, with no value, removed) for as long as this lives,
// then put back as it was.
class ScopedEnvironment {
public:
    ScopedEnvironment(std::string name, const char* value) : m_name(std::move(name)) {
        const char* before = std::getenv(m_name.c_str());
        m_had = before != nullptr;
        if (before) m_before = before;
        value ? SetEnvironment(m_name, value) : UnsetEnvironment(m_name);
    }
    ~ScopedEnvironment() { m_had ? SetEnvironment(m_name, m_before) : UnsetEnvironment(m_name); }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    std::string m_name, m_before;
    bool m_had = false;
};
