// The trace file and the default trace destination on POSIX: stderr.
#include "platform/DebugOutput.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

CDebugSink& PlatformDebugSink() {
    static CStderrDebugSink sink;
    return sink;
}

CFileDebugSink::CFileDebugSink(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return;
    // O_NONBLOCK: a FIFO put in place after the stat() fails the open instead
    // of waiting for a reader; fstat() then refuses whatever is not regular.
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644);
    if (fd < 0) return;
    const int flags = ::fcntl(fd, F_GETFL);
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || flags < 0 ||
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        ::close(fd);
        return;
    }
    m_hFile = fd;
}

CFileDebugSink::~CFileDebugSink() {
    if (m_hFile >= 0) ::close(m_hFile);
}

void CFileDebugSink::Write(std::string_view text) {
    std::lock_guard<std::mutex> lock(m_mutex);
    size_t done = 0;
    while (m_hFile >= 0 && done < text.size()) {
        ssize_t w = ::write(m_hFile, text.data() + done, text.size() - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) break;  // a full disk loses trace lines, never the update
        done += static_cast<size_t>(w);
    }
}

