// Image file access with the framework's file-exception causes, so the
// update procedures can report the cause by name.
#pragma once

#include <cstdint>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

class CFileException : public std::exception {
public:
    enum Cause {
        none = 0, genericException, fileNotFound, badPath, tooManyOpenFiles, accessDenied,
        invalidFile, removeCurrentDir, directoryFull, badSeek, hardIO, sharingViolation,
        lockViolation, diskFull, endOfFile
    };
    CFileException(int cause, int osError, std::string fileName)
        : m_cause(cause), m_lOsError(osError), m_strFileName(std::move(fileName)) {}
    const char* what() const noexcept override { return "CFileException"; }

    int m_cause;
    int m_lOsError;  // errno (on Windows the system's error, translated)
    std::string m_strFileName;

    static int CauseFromErrno(int err);
};

// Read-only binary file. Open() reports failure instead of throwing, like
// CFile::Open with an exception pointer; later calls on a file that is not
// open throw CFileException(invalidFile).
//
// Only a regular file is opened. A folder fails with EISDIR, anything else
// that is not a regular file (a FIFO, a device, a socket) with EINVAL, both
// as accessDenied. The path is examined before it is opened: opening a FIFO
// that nobody writes to waits for ever, and opening a device can have
// effects of its own.
class CImageFile {
public:
    CImageFile() = default;
    ~CImageFile();
    CImageFile(const CImageFile&) = delete;
    CImageFile& operator=(const CImageFile&) = delete;

    bool Open(const std::string& path, CFileException* error);
    uint64_t GetLength() const;                    // throws CFileException
    uint32_t Read(uint8_t* buffer, uint32_t count);  // throws CFileException
    void Close();
    bool IsOpen() const { return m_hFile != -1; }

private:
    intptr_t m_hFile = -1;  // a file descriptor, or a HANDLE on Windows
    std::string m_strPath;
};

// Whole-file read used where the caller only needs the bytes. Throws
// CFileException; refuses anything but a regular file, like CImageFile.
std::vector<uint8_t> ReadWholeFile(const std::string& path);

// What the path names when that is not a regular file, for messages: "a
// folder", "a FIFO (named pipe)", "a character device", "a block device",
// "a socket". Empty for a regular file, or when nothing can be learnt about
// the path (it does not exist, a folder on the way cannot be searched): then
// opening it reports the cause.
std::string NonRegularFileKind(const std::string& path);

// Renames `from` to `to`, replacing a file already there, in one step: a
// reader sees the old file or the new one. (rename() on Windows refuses to
// replace, so a second save would be lost.)
bool MoveFileOver(const std::string& from, const std::string& to);

// fopen() for a UTF-8 path: on Windows through the wide API, since fopen()
// there reads the name in the ANSI code page and loses what it cannot hold.
std::FILE* OpenUtf8(const std::string& path, const char* mode);
