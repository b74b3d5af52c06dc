// Linked into every test program: what the code under test traces on
// purpose (DebugOutput) is kept per test and printed only when the test
// fails, so a passing run shows nothing but the results. A test that reads
// traces installs its own sink on its thread, which takes precedence.
#include <gtest/gtest.h>

#include <cstdio>

#include "platform/DebugOutput.h"

namespace {
class CQuietDebugOutput : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo&) override {
        m_sink.Clear();
        SetDebugSink(&m_sink);
    }
    void OnTestEnd(const ::testing::TestInfo& test) override {
        SetDebugSink(nullptr);
        const std::string text = m_sink.Text();
        m_sink.Clear();
        if (!test.result()->Failed() || text.empty()) return;
        std::fprintf(stderr, "--- traces of %s.%s:\n%s%s---\n", test.test_suite_name(), test.name(), text.c_str(),
                     text.back() == '\n' ? "" : "\n");
    }

    CCapturingDebugSink m_sink;
};

// Registered before gtest_main's RUN_ALL_TESTS; gtest owns the listener.
const bool g_registered = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new CQuietDebugOutput);
    return true;
}();
}  // namespace
