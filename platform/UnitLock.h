// One update per unit on this machine. Before anything is written to a
// unit, the writer takes the lock named after the unit's host and port;
// a second writer, in this process or another, is refused at once. The
// system drops a lock when its process ends, even by a crash, so none is
// left behind: on POSIX a flock()ed file in $XDG_RUNTIME_DIR, else
// /run/lock, else the temp folder; on Windows a named mutex, where one
// abandoned by a process that died counts as free.
#pragma once

#include <cstdint>
#include <string>

class CUnitLock {
public:
    // Tries once and never waits. On Windows the lock belongs to the
    // calling thread: the object must be destroyed on the thread that made it.
    CUnitLock(const std::string& host, uint16_t port);
    ~CUnitLock();
    CUnitLock(const CUnitLock&) = delete;
    CUnitLock& operator=(const CUnitLock&) = delete;

    bool Held() const { return m_bHeld; }
    // Not held because another holder has it (rather than because the lock
    // could not be made at all).
    bool HeldElsewhere() const { return m_bHeldElsewhere; }
    // Why it is not held, in a sentence naming the unit.
    const std::string& Error() const { return m_strError; }
    // The refusal said to the user: why, and that nothing was sent.
    std::string Refusal() const {
        return m_strError + (m_bHeldElsewhere ? " Nothing was sent; try again once it has ended." : " Nothing was sent.");
    }

private:
    std::string m_strName;
    intptr_t m_handle = -1;  // a file descriptor, or a mutex HANDLE on Windows
    bool m_bHeld = false;
    bool m_bHeldElsewhere = false;
    std::string m_strError;
};

// The lock's name for a unit, the same whichever way the host name is
// cased: letters, digits, '.', '-' as they are, every other byte as %xx,
// then '_' and the port, so it is one safe file or object name that no
// two units share; a very long one ends in a digest of the whole.
std::string UnitLockName(const std::string& host, uint16_t port);

// Where the lock files are (POSIX); empty on Windows.
std::string UnitLockFolder();

// The system's part, per platform: take the lock `name` without waiting.
// Returns the handle, or -1 with *heldElsewhere or *why set.
intptr_t AcquireSystemUnitLock(const std::string& name, bool* heldElsewhere, std::string* why);
void ReleaseSystemUnitLock(intptr_t handle);
