// Setting and clearing a variable of the test process's environment, on
// POSIX and on Windows alike.
#pragma once

#include <cstdlib>
#include <string>

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
