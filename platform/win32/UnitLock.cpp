#include "platform/UnitLock.h"

#include "platform/ErrorText.h"
#include "platform/win32/WideText.h"

namespace {
std::string Trimmed(std::string s) {
    while (!s.empty() && (s.back() == '\r' || s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s;
}
}  // namespace

std::string UnitLockFolder() { return {}; }

intptr_t AcquireSystemUnitLock(const std::string& name, bool* heldElsewhere, std::string* why) {
    *heldElsewhere = false;
    // Global: one machine-wide name, whichever session the program runs in.
    const std::wstring object = win32_text::Widen("Global\\tr52k-" + name);
    HANDLE mutex = ::CreateMutexW(nullptr, FALSE, object.c_str());
    if (!mutex) {
        const DWORD error = ::GetLastError();
        // Made by a program of another user with rights we lack: in use.
        if (error == ERROR_ACCESS_DENIED) *heldElsewhere = true;
        else *why = Trimmed(SystemErrorText(error));
        return -1;
    }
    switch (::WaitForSingleObject(mutex, 0)) {
        case WAIT_OBJECT_0:
        case WAIT_ABANDONED:  // its holder died without letting go: free
            return reinterpret_cast<intptr_t>(mutex);
        case WAIT_TIMEOUT: *heldElsewhere = true; break;
        default: *why = Trimmed(SystemErrorText(::GetLastError())); break;
    }
    ::CloseHandle(mutex);
    return -1;
}

void ReleaseSystemUnitLock(intptr_t handle) {
    HANDLE mutex = reinterpret_cast<HANDLE>(handle);
    ::ReleaseMutex(mutex);
    ::CloseHandle(mutex);
}
