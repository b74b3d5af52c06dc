// Debug output: the debugger-output role. Every trace line of the loader goes
// through DebugOutput(); each call is one write, kept whole.
#pragma once

#include <cstdint>
#include <fstream>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

class CDebugSink {
public:
    virtual ~CDebugSink() = default;
    virtual void Write(std::string_view text) = 0;
};

void DebugOutput(std::string_view text);

// Process-wide destination (the platform's until set); nullptr restores it.
void SetDebugSink(CDebugSink* sink);

// Where traces go when nothing else is set: stderr on POSIX, the debugger
// output (OutputDebugStringW) on Windows.
CDebugSink& PlatformDebugSink();

// While alive, DebugOutput() calls from this thread go to `sink` instead of
// the process-wide one. Lets several units run side by side, each with its
// own trace.
class CScopedThreadDebugSink {
public:
    explicit CScopedThreadDebugSink(CDebugSink* sink);
    ~CScopedThreadDebugSink();
    CScopedThreadDebugSink(const CScopedThreadDebugSink&) = delete;
    CScopedThreadDebugSink& operator=(const CScopedThreadDebugSink&) = delete;

private:
    CDebugSink* m_pPrevious;
};

class CStderrDebugSink : public CDebugSink {
public:
    void Write(std::string_view text) override;
};

// Appends to a file; every write goes straight to the system, so a crash
// keeps the trace. Only a regular file (new or existing) is written: a path
// naming a FIFO, a device or a folder leaves the sink closed, since opening
// a FIFO nobody reads would wait for ever and a device is no place for it.
class CFileDebugSink : public CDebugSink {
public:
    explicit CFileDebugSink(const std::string& path);
    ~CFileDebugSink() override;
    CFileDebugSink(const CFileDebugSink&) = delete;
    CFileDebugSink& operator=(const CFileDebugSink&) = delete;
    bool IsOpen() const { return m_hFile != -1; }
    void Write(std::string_view text) override;

private:
    std::mutex m_mutex;
    intptr_t m_hFile = -1;  // a file descriptor, or a HANDLE on Windows
};

// Keeps every write separately, for tests that check traces write by write.
class CCapturingDebugSink : public CDebugSink {
public:
    void Write(std::string_view text) override;
    std::vector<std::string> Writes() const;
    std::string Text() const;  // all writes joined
    void Clear();

private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_writes;
};
