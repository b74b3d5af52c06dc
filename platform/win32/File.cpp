// Image files on Windows: CreateFileW with the path in UTF-16, so any name
// the user can type opens, and reads are binary by nature (no CR LF or
// Ctrl-Z translation). Only a file on a disk is read: a folder, a device
// (NUL, COM1) or a pipe is refused, named ones before they are opened.
// System errors are translated to the errno values the POSIX layer reports,
// so causes and messages read the same on both.
#include "platform/File.h"

#include <cerrno>

#include "platform/win32/WideText.h"

using win32_text::KindBeforeOpen;
using win32_text::KindOfHandle;
using win32_text::Widen;

namespace {
int ErrnoFromWin32(DWORD error) {
    switch (error) {
        case ERROR_SUCCESS: return 0;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
        case ERROR_BAD_NETPATH:
        case ERROR_BAD_NET_NAME: return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_PRIVILEGE_NOT_HELD: return EACCES;
        case ERROR_WRITE_PROTECT: return EROFS;
        case ERROR_TOO_MANY_OPEN_FILES: return EMFILE;
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION: return EBUSY;
        case ERROR_FILENAME_EXCED_RANGE: return ENAMETOOLONG;
        case ERROR_DIRECTORY: return ENOTDIR;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL: return ENOSPC;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY: return ENOMEM;
        case ERROR_CRC:
        case ERROR_READ_FAULT:
        case ERROR_GEN_FAILURE: return EIO;
        default: return EINVAL;
    }
}

HANDLE AsHandle(intptr_t h) { return reinterpret_cast<HANDLE>(h); }
}  // namespace

CImageFile::~CImageFile() { Close(); }

bool CImageFile::Open(const std::string& path, CFileException* error) {
    Close();
    m_strPath = path;
    const std::wstring wide = Widen(path);
    std::string kind = KindBeforeOpen(wide);
    int err = 0;
    HANDLE h = INVALID_HANDLE_VALUE;
    if (kind.empty()) {
        h = ::CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            err = ErrnoFromWin32(::GetLastError());
        } else {
            kind = KindOfHandle(h);
            if (!kind.empty()) {
                ::CloseHandle(h);
                h = INVALID_HANDLE_VALUE;
            }
        }
    }
    if (!kind.empty()) err = kind == "a folder" ? EISDIR : EINVAL;
    if (h == INVALID_HANDLE_VALUE) {
        const int cause = kind.empty() ? CFileException::CauseFromErrno(err) : CFileException::accessDenied;
        if (error) *error = CFileException(cause, err, path);
        return false;
    }
    m_hFile = reinterpret_cast<intptr_t>(h);
    return true;
}

uint64_t CImageFile::GetLength() const {
    if (m_hFile == -1) throw CFileException(CFileException::invalidFile, EBADF, m_strPath);
    LARGE_INTEGER size;
    if (!::GetFileSizeEx(AsHandle(m_hFile), &size)) {
        const int err = ErrnoFromWin32(::GetLastError());
        throw CFileException(CFileException::CauseFromErrno(err), err, m_strPath);
    }
    return static_cast<uint64_t>(size.QuadPart);
}

uint32_t CImageFile::Read(uint8_t* buffer, uint32_t count) {
    if (m_hFile == -1) throw CFileException(CFileException::invalidFile, EBADF, m_strPath);
    uint32_t done = 0;
    while (done < count) {
        DWORD got = 0;
        if (!::ReadFile(AsHandle(m_hFile), buffer + done, count - done, &got, nullptr)) {
            const int err = ErrnoFromWin32(::GetLastError());
            throw CFileException(CFileException::CauseFromErrno(err), err, m_strPath);
        }
        if (got == 0) break;
        done += got;
    }
    return done;
}

void CImageFile::Close() {
    if (m_hFile != -1) ::CloseHandle(AsHandle(m_hFile));
    m_hFile = -1;
}

std::string NonRegularFileKind(const std::string& path) {
    const std::wstring wide = Widen(path);
    const std::string kind = KindBeforeOpen(wide);
    if (!kind.empty()) return kind;
    // Opened for its attributes only (no read or write access), which is
    // what a file on a disk needs to tell its type.
    HANDLE h = ::CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return "";
    const std::string handleKind = KindOfHandle(h);
    ::CloseHandle(h);
    return handleKind;
}

bool MoveFileOver(const std::string& from, const std::string& to) {
    return ::MoveFileExW(Widen(from).c_str(), Widen(to).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

std::FILE* OpenUtf8(const std::string& path, const char* mode) {
    return ::_wfopen(Widen(path).c_str(), Widen(mode).c_str());
}
