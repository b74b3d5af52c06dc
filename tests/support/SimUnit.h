// A simulated unit served on a free loopback port, with the scratch folder,
// saved settings and update history of the programs a test runs against it.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <mutex>
#include <string>

#include "sim/SimServer.h"
#include "support/ScratchDir.h"

struct SimUnitTest : ::testing::Test {
    const ScratchDir dir;
    CUnitSimulator sim;
    CSimServer server{sim};

    // The saved address is this simulator.
    explicit SimUnitTest(const std::string& prefix) : dir(prefix) {
        ::setenv("TR52K_HISTORY_FILE", (dir / "history.jsonl").c_str(), 1);
        sim.m_eraseMs = 20;
        server.Start(0);
        UseLoopbackSettings(dir / "registry.reg", "127.0.0.1:" + std::to_string(server.Port()));
    }
    // Adds a fault rule to the unit ("drop:0x1021@3*1").
    void Fault(const std::string& rule) {
        std::lock_guard<std::mutex> lock(sim.m_mutex);
        ASSERT_TRUE(ParseSimRule(rule, &sim.m_faultRules.emplace_back(), nullptr)) << rule;
    }
    // How often the unit received a command (0 when never).
    int Count(uint16_t command) {
        std::lock_guard<std::mutex> lock(sim.m_mutex);
        auto it = sim.m_commandCounts.find(command);
        return it == sim.m_commandCounts.end() ? 0 : it->second;
    }
};
