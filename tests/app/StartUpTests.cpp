// Start-up order and shut-down by dialog result, with a scripted link.
#include <gtest/gtest.h>

#include "app/Settings.h"
#include "app/StartUp.h"
#include "link/MemoryDeviceLink.h"
#include "platform/DebugOutput.h"
#include "platform/Win32Types.h"

namespace {
struct StartUp : ::testing::Test {
    CMemoryRegistryStore registry;
    CRecordingMessageBox boxes;
    CCapturingDebugSink trace;
    CScopedThreadDebugSink scoped{&trace};
    std::string linkHost;
    uint16_t linkPort = 0;
    CMemoryDeviceLink* link = nullptr;

    LinkFactory Factory() {
        return [this](const std::string& host, uint16_t port) {
            linkHost = host;
            linkPort = port;
            link = new CMemoryDeviceLink(SystemClock());
            link->QueueReply({0x68, 0, 0, 0, 0, 0});
            return link;
        };
    }
};

TEST_F(StartUp, DefaultsThenPingThenDialog) {
    uint32_t seenNoInit = 99;
    std::string seenIp;
    size_t writesBeforeDialog = 0;
    int result = InitInstance({"prog"}, registry, Factory(),
                              [&](CTR52K1_Comm& comm, uint32_t noInit, const std::string& ip) {
                                  seenNoInit = noInit;
                                  seenIp = ip;
                                  writesBeforeDialog = link->m_writes.size();
                                  EXPECT_EQ(comm.m_nResponseTimeoutMs, 1000);
                                  return win32::IDOK;
                              },
                              boxes);
    EXPECT_EQ(result, win32::IDOK);
    EXPECT_EQ(trace.Writes().front(), "WSAStartup() suceeded.\r\n");
    EXPECT_EQ(linkHost, "192.168.1.100");
    EXPECT_EQ(linkPort, 5000);
    EXPECT_EQ(seenIp, "192.168.1.100");
    EXPECT_EQ(seenNoInit, 0u);
    EXPECT_EQ(writesBeforeDialog, 1u);  // the one ping
    EXPECT_TRUE(boxes.Boxes().empty());
}

TEST_F(StartUp, CommandLineOverridesAndFailedDialog) {
    registry.PutString(SETTINGS_KEY_PATH, "ETHERNET_IP_ADDR", "10.0.0.1");
    int result = InitInstance({"prog", "ETHERNET_IP_ADDR=10.20.30.40", "NO_INIT_STATUS=1"}, registry, Factory(),
                              [&](CTR52K1_Comm&, uint32_t noInit, const std::string&) {
                                  EXPECT_EQ(noInit, 1u);
                                  return -1;
                              },
                              boxes);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(linkHost, "10.20.30.40");
    ASSERT_EQ(boxes.Boxes().size(), 1u);
    EXPECT_EQ(boxes.Boxes()[0].text, "Dialog could not be created");
    EXPECT_EQ(boxes.Boxes()[0].caption, "Dialog Error");
}

TEST_F(StartUp, SilentUnitStillOpensTheDialog) {
    bool opened = false;
    InitInstance({"prog"}, registry,
                 [this](const std::string&, uint16_t) {
                     link = new CMemoryDeviceLink(SystemClock());
                     return link;
                 },
                 [&](CTR52K1_Comm& comm, uint32_t, const std::string&) {
                     opened = true;
                     EXPECT_EQ(comm.m_PingReply[0], 0);
                     return win32::IDCANCEL;
                 },
                 boxes);
    EXPECT_TRUE(opened);
}
}  // namespace
