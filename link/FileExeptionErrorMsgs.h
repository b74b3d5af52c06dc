// Names a file exception's cause for the debug output (mix-in of the
// dialog and of the update procedures).
#pragma once

#include <string>

#include "platform/File.h"

class CFileExeptionErrorMsgs {
public:
    // Writes "CFileException Caught\r\n", then
    // "CFileException.m_cause = <name>.\r\n", and returns the latter.
    static std::string GetFileExceptionMsg(const CFileException& e);
    // The cause's name; empty outside 0..14.
    static const char* CauseName(int cause);
};
