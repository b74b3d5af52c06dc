// The parts of image file access that every platform shares: errno values
// to the framework's causes, and the whole-file read on top of CImageFile.
#include "platform/File.h"

#include <cerrno>

int CFileException::CauseFromErrno(int err) {
    switch (err) {
        case 0: return none;
        case ENOENT: return fileNotFound;
        case ENOTDIR:
        case ENAMETOOLONG:
        case ELOOP: return badPath;
        case EMFILE:
        case ENFILE: return tooManyOpenFiles;
        case EACCES:
        case EPERM:
        case EISDIR:  // a folder cannot be read as an image, as on Windows
        case EROFS: return accessDenied;
        case EIO: return hardIO;
        case ENOSPC: return diskFull;
        case ESPIPE: return badSeek;
        case EBUSY:
        case ETXTBSY: return sharingViolation;
        default: return genericException;
    }
}

std::vector<uint8_t> ReadWholeFile(const std::string& path) {
    CImageFile file;
    CFileException error(0, 0, path);
    if (!file.Open(path, &error)) throw error;
    // Reads to the end, whatever the length was when opened: a file that
    // grows or shrinks meanwhile yields exactly the bytes that were read.
    std::vector<uint8_t> data;
    uint8_t chunk[65536];
    while (true) {
        uint32_t n = file.Read(chunk, sizeof chunk);
        data.insert(data.end(), chunk, chunk + n);
        if (n < sizeof chunk) break;
    }
    return data;
}

