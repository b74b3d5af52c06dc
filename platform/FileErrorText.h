// A file exception's cause as the debug output names it.
#pragma once

#include <string>

#include "platform/File.h"

// The cause's name ("fileNotFound", ...); empty outside 0..14.
const char* FileExceptionCauseName(int cause);
// Writes "CFileException Caught\r\n", then
// "CFileException.m_cause = <name>.\r\n", and returns the latter.
std::string ReportFileException(const CFileException& e);
