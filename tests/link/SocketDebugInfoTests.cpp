// Socket error blocks write by write, the device record, file exception texts.
#include <gtest/gtest.h>

#include <set>

#include "link/FileExeptionErrorMsgs.h"
#include "link/SocketDebugInfo.h"
#include "platform/DebugOutput.h"

namespace {
using Writes = std::vector<std::string>;

struct Traced : ::testing::Test {
    CCapturingDebugSink trace;
    CScopedThreadDebugSink scoped{&trace};
};

class CTestLink : public CSocketDebugInfo {};

TEST_F(Traced, ErrorBlockWithOneTextLine) {
    CSocketDebugInfo::ReportSocketError(10061, "CSocket::Connect()");
    EXPECT_EQ(trace.Writes(), (Writes{"*****\r\n", "***** CSocket::Connect() failed.\r\n",
                                      "WSAECONNREFUSED: The attempt to connect was rejected.\r\n", "*****\r\n"}));
}

TEST_F(Traced, InvalidArgumentHasTwoTextLines) {
    CSocketDebugInfo::ReportSocketError(10022, "CSocket::ShutDown()");
    EXPECT_EQ(trace.Writes(), (Writes{"*****\r\n", "***** CSocket::ShutDown() failed.\r\n",
                                      "WSAEINVAL: nHow is not valid.\r\n",
                                      "The socket has not been bound with Bind.\r\n", "*****\r\n"}));
}

TEST_F(Traced, NetResetRunsIntoTheClosingLine) {
    CSocketDebugInfo::ReportSocketError(10052, "CAsyncSocket::Receive()");
    EXPECT_EQ(trace.Text(), "*****\r\n***** CAsyncSocket::Receive() failed.\r\n"
                            "WSAENETRESET: Connection has timed out when SO_KEEPALIVE is set.*****\r\n");
}

TEST_F(Traced, UnknownCodeNamesTheOperationAndTheCode) {
    for (uint32_t code : {0u, 10059u, 12345u}) {
        trace.Clear();
        CSocketDebugInfo::ReportSocketError(code, "CSocket::Create()");
        EXPECT_EQ(trace.Writes(), (Writes{"*****\r\n", "***** CSocket::Create() failed.\r\n",
                                          "Unknown value returned from CSocket::Create().\r\n",
                                          "GetLastError=" + std::to_string(code) + ".\r\n", "*****\r\n"}));
    }
}

TEST(SocketErrorTable, EveryKnownCodeHasALineOfItsOwn) {
    const uint32_t codes[] = {8,     10014, 10022, 10024, 10035, 10036, 10038, 10039, 10040, 10041, 10042,
                              10043, 10044, 10045, 10047, 10048, 10049, 10050, 10051, 10052, 10053, 10054,
                              10055, 10056, 10057, 10058, 10060, 10061, 10093, 10109, 11001, 11002, 11003};
    std::set<std::string> seen;
    for (uint32_t c : codes) {
        std::string text = CSocketDebugInfo::SocketErrorText(c);
        EXPECT_EQ(text.rfind("WSA", 0), 0u) << c;
        if (c != 10052) {
            EXPECT_EQ(text.substr(text.size() - 2), "\r\n") << c;
        }
        EXPECT_TRUE(seen.insert(text).second) << "duplicate text for " << c;
    }
}

TEST(DeviceRecord, ParamsAreLittleEndianAtTheirPositions) {
    CTestLink link;
    EXPECT_EQ(link.GetDeviceId48(), 0u);
    link.SetDeviceParam1(0x11223344);
    link.SetDeviceParam2(0xA1B2C3D4);
    link.SetDeviceParam3(0xDEADBEEF);
    const uint8_t* r = link.GetDeviceRecord();
    EXPECT_EQ(r[15], 0x44);
    EXPECT_EQ(r[18], 0x11);
    EXPECT_EQ(r[19], 0xD4);
    EXPECT_EQ(r[26], 0xDE);
    EXPECT_EQ(r[14], 0);
    EXPECT_EQ(r[27], 0);
    EXPECT_EQ(link.GetDeviceParam1(), 0x11223344u);
    EXPECT_EQ(link.GetDeviceParam2(), 0xA1B2C3D4u);
    EXPECT_EQ(link.GetDeviceParam3(), 0xDEADBEEFu);
    for (int i = 4; i < 10; ++i) link.GetDeviceRecord()[i] = static_cast<uint8_t>(i);
    EXPECT_EQ(link.GetDeviceId48(), 0x090807060504ull);
    EXPECT_STREQ(link.GetLocalAddress(), "localhost");
    EXPECT_EQ(link.GetLinkType(), LINK_TYPE_NONE);
}

TEST(DeviceRecord, LocalAddressIsCutToTheField) {
    CTestLink link;
    link.SetLocalAddress(std::string(300, 'a'));
    EXPECT_EQ(std::string(link.GetLocalAddress()).size(), MAX_ADDRESS_CHARS);
}

TEST_F(Traced, FileExceptionMessages) {
    CFileException e(CFileException::fileNotFound, 2, "x.bin");
    EXPECT_EQ(CFileExeptionErrorMsgs::GetFileExceptionMsg(e), "CFileException.m_cause = fileNotFound.\r\n");
    EXPECT_EQ(trace.Writes(), (Writes{"CFileException Caught\r\n", "CFileException.m_cause = fileNotFound.\r\n"}));
    for (int cause : {15, -1}) {
        CFileException bad(cause, 0, "x.bin");
        EXPECT_EQ(CFileExeptionErrorMsgs::GetFileExceptionMsg(bad), "CFileException.m_cause = .\r\n") << cause;
    }
    EXPECT_STREQ(CFileExeptionErrorMsgs::CauseName(14), "endOfFile");
}
}  // namespace
