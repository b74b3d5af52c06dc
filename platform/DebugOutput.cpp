#include "platform/DebugOutput.h"

#include <atomic>
#include <cstdio>

namespace {
std::atomic<CDebugSink*> g_processSink{nullptr};
thread_local CDebugSink* t_threadSink = nullptr;
std::mutex g_stderrMutex;
}  // namespace

void DebugOutput(std::string_view text) {
    CDebugSink* sink = t_threadSink;
    if (!sink) sink = g_processSink.load();
    if (!sink) sink = &PlatformDebugSink();
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
