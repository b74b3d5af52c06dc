// The error blocks' special shapes, the address field's limit and the file
// exception message.
#include <gtest/gtest.h>

#include "link/FileExeptionErrorMsgs.h"
#include "link/SocketDebugInfo.h"
#include "platform/DebugOutput.h"

namespace {
using Writes = std::vector<std::string>;

TEST(SocketErrorBlock, ExtraLineNoLineEndAndUnknownCodes) {
    const struct {
        uint32_t code;
        Writes middle;  // between the "failed" line and the closing "*****"
    } cases[] = {
        {10061, {"WSAECONNREFUSED: The attempt to connect was rejected.\r\n"}},
        {10022, {"WSAEINVAL: nHow is not valid.\r\n", "The socket has not been bound with Bind.\r\n"}},
        {10052, {"WSAENETRESET: Connection has timed out when SO_KEEPALIVE is set."}},  // runs into the frame
        {10059, {"Unknown value returned from CSocket::Op().\r\n", "GetLastError=10059.\r\n"}},
        {0, {"Unknown value returned from CSocket::Op().\r\n", "GetLastError=0.\r\n"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        CCapturingDebugSink sink;
        CScopedThreadDebugSink scope(&sink);
        CSocketDebugInfo::ReportSocketError(c.code, "CSocket::Op()");
        Writes expected = {"*****\r\n", "***** CSocket::Op() failed.\r\n"};
        expected.insert(expected.end(), c.middle.begin(), c.middle.end());
        expected.push_back("*****\r\n");
        EXPECT_EQ(sink.Writes(), expected);
    }
}

TEST(AddressField, KeepsAtMost259Utf16Units) {
    CSocketDebugInfo link;
    std::string umlauts;
    for (int i = 0; i < 259; ++i) umlauts += "\xC3\xA4";
    link.SetLocalAddress(umlauts);  // counted in UTF-16 units, not bytes
    EXPECT_EQ(std::string(link.GetLocalAddress()), umlauts);
    const std::string pair = std::string(257, 'a') + "\xF0\x9F\x98\x80";  // ends at unit 259
    link.SetLocalAddress(pair);
    EXPECT_EQ(std::string(link.GetLocalAddress()), pair);
    link.SetLocalAddress(std::string(300, 'x'));
    EXPECT_EQ(std::string(link.GetLocalAddress()), std::string(259, 'x'));
}

TEST(FileExceptionMessage, NamesTheCauseOrLeavesItEmpty) {
    for (const auto& [cause, name] : {std::pair<int, const char*>{0, "none"}, {14, "endOfFile"}, {15, ""}, {-1, ""}}) {
        SCOPED_TRACE(cause);
        CCapturingDebugSink sink;
        CScopedThreadDebugSink scope(&sink);
        const std::string text = std::string("CFileException.m_cause = ") + name + ".\r\n";
        EXPECT_EQ(CFileExeptionErrorMsgs::GetFileExceptionMsg(CFileException(cause, 0, "x.bin")), text);
        EXPECT_EQ(sink.Writes(), (Writes{"CFileException Caught\r\n", text}));
    }
}
}  // namespace
