#include "platform/File.h"

#include <cerrno>
#include <cstdio>
#include <string>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

CImageFile::~CImageFile() { Close(); }

namespace {
// errno for a path that is no regular file: EISDIR for a folder, as before,
// EINVAL for the rest; 0 for a regular file.
int NotRegularError(mode_t mode) {
    if (S_ISREG(mode)) return 0;
    return S_ISDIR(mode) ? EISDIR : EINVAL;
}

const char* KindName(mode_t mode) {
    if (S_ISREG(mode)) return "";
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISFIFO(mode)) return "a FIFO (named pipe)";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a regular file";
}
}  // namespace

bool CImageFile::Open(const std::string& path, CFileException* error) {
    Close();
    m_strPath = path;
    // stat() first, so a FIFO or a device is never opened; O_NONBLOCK and the
    // fstat() after the open cover a path that is swapped in between.
    struct stat st;
    int err = ::stat(path.c_str(), &st) == 0 ? NotRegularError(st.st_mode) : 0;
    bool notRegular = err != 0;
    int fd = -1;
    if (!notRegular) {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
        err = fd < 0 ? errno : 0;
    }
    if (fd >= 0) {
        if (fstat(fd, &st) != 0) {
            err = errno;
        } else {
            err = NotRegularError(st.st_mode);
            notRegular = err != 0;
        }
        if (err == 0) {
            const int flags = ::fcntl(fd, F_GETFL);
            if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) err = errno;
        }
        if (err != 0) {
            ::close(fd);
            fd = -1;
        }
    }
    if (fd < 0) {
        const int cause = notRegular ? CFileException::accessDenied : CFileException::CauseFromErrno(err);
        if (error) *error = CFileException(cause, err, path);
        return false;
    }
    m_hFile = fd;
    return true;
}

uint64_t CImageFile::GetLength() const {
    if (m_hFile < 0) throw CFileException(CFileException::invalidFile, EBADF, m_strPath);
    struct stat st;
    if (fstat(m_hFile, &st) != 0) throw CFileException(CFileException::CauseFromErrno(errno), errno, m_strPath);
    return static_cast<uint64_t>(st.st_size);
}

uint32_t CImageFile::Read(uint8_t* buffer, uint32_t count) {
    if (m_hFile < 0) throw CFileException(CFileException::invalidFile, EBADF, m_strPath);
    uint32_t done = 0;
    while (done < count) {
        ssize_t r = ::read(m_hFile, buffer + done, count - done);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) throw CFileException(CFileException::CauseFromErrno(errno), errno, m_strPath);
        if (r == 0) break;
        done += static_cast<uint32_t>(r);
    }
    return done;
}

void CImageFile::Close() {
    if (m_hFile >= 0) ::close(m_hFile);
    m_hFile = -1;
}

std::string NonRegularFileKind(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return "";
    return KindName(st.st_mode);
}

bool MoveFileOver(const std::string& from, const std::string& to) {
    return std::rename(from.c_str(), to.c_str()) == 0;
}

std::FILE* OpenUtf8(const std::string& path, const char* mode) { return std::fopen(path.c_str(), mode); }
