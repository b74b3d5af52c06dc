#include "platform/DebugOutput.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cstdio>

namespace {
CStderrDebugSink g_stderrSink;
std::atomic<CDebugSink*> g_processSink{nullptr};
thread_local CDebugSink* t_threadSink = nullptr;
std::mutex g_stderrMutex;
}  // namespace

void DebugOutput(std::string_view text) {
    CDebugSink* sink = t_threadSink;
    if (!sink) sink = g_processSink.load();
    if (!sink) sink = &g_stderrSink;
    sink->Write(text);
}

void SetDebugSink(CDebugSink* sink) { g_processSink.store(sink); }

CScopedThreadDebugSink::CScopedThreadDebugSink(CDebugSink* sink) : m_pPrevious(t_threadSink) {
    t_threadSink = sink;
}

CScopedThreadDebugSink::~CScopedThreadDebugSink() { t_threadSink = m_pPrevious; }

void CStderrDebugSink::Write(std::string_view text) {
    std::lock_guard<std::mutex> lock(g_stderrMutex);
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
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
    m_fd = fd;
}

CFileDebugSink::~CFileDebugSink() {
    if (m_fd >= 0) ::close(m_fd);
}

void CFileDebugSink::Write(std::string_view text) {
    std::lock_guard<std::mutex> lock(m_mutex);
    size_t done = 0;
    while (m_fd >= 0 && done < text.size()) {
        ssize_t w = ::write(m_fd, text.data() + done, text.size() - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) break;  // a full disk loses trace lines, never the update
        done += static_cast<size_t>(w);
    }
}

void CCapturingDebugSink::Write(std::string_view text) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_writes.emplace_back(text);
}

std::vector<std::string> CCapturingDebugSink::Writes() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_writes;
}

std::string CCapturingDebugSink::Text() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string all;
    for (const auto& w : m_writes) all += w;
    return all;
}

void CCapturingDebugSink::Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_writes.clear();
}
