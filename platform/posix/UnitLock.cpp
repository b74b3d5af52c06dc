#include "platform/UnitLock.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {
bool UsableFolder(const char* path) {
    return path && path[0] == '/' && ::access(path, W_OK | X_OK) == 0;
}
}  // namespace

std::string UnitLockFolder() {
    // The user's runtime folder is private and emptied at logout; /run/lock
    // is the system's, shared by every user of the machine.
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (UsableFolder(runtime)) return runtime;
    if (UsableFolder("/run/lock")) return "/run/lock";
    const char* tmp = std::getenv("TMPDIR");
    if (UsableFolder(tmp)) return tmp;
    return "/tmp";
}

intptr_t AcquireSystemUnitLock(const std::string& name, bool* heldElsewhere, std::string* why) {
    *heldElsewhere = false;
    const std::string path = UnitLockFolder() + "/tr52k-" + name + ".lock";
    // Read-only is enough for flock(), and lets in a file another user made
    // in a shared folder. Never removed: removing a lock file races with the
    // next holder opening it.
    int fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0 && errno == EACCES) fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        *why = path + ": " + std::strerror(errno);
        return -1;
    }
    int r;
    do {
        r = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (r != 0 && errno == EINTR);
    if (r == 0) return fd;
    const int err = errno;
    ::close(fd);
    if (err == EWOULDBLOCK) *heldElsewhere = true;
    else *why = path + ": " + std::strerror(err);
    return -1;
}

void ReleaseSystemUnitLock(intptr_t handle) {
    // Closing the only descriptor of the open file drops its flock().
    ::close(static_cast<int>(handle));
}
