#include "platform/FileErrorText.h"

#include "platform/DebugOutput.h"

const char* FileExceptionCauseName(int cause) {
    static const char* const names[] = {
        "none",     "genericException", "fileNotFound", "badPath",      "tooManyOpenFiles",
        "accessDenied", "invalidFile", "removeCurrentDir", "directoryFull", "badSeek",
        "hardIO",   "sharingViolation", "lockViolation", "diskFull",     "endOfFile"};
    unsigned u = static_cast<unsigned>(cause);
    return u < sizeof names / sizeof names[0] ? names[u] : "";
}

std::string ReportFileException(const CFileException& e) {
    DebugOutput("CFileException Caught\r\n");
    std::string text = std::string("CFileException.m_cause = ") + FileExceptionCauseName(e.m_cause) + ".\r\n";
    DebugOutput(text);
    return text;
}
