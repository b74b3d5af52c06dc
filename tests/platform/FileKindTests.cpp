// Image files and trace files are regular files: a FIFO, a device or a
// folder is refused without being opened, so nothing waits on a FIFO that
// nobody writes to or reads from.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/DebugOutput.h"
#include "platform/File.h"
#include "support/ScratchDir.h"

namespace fs = std::filesystem;

namespace {
struct FileCase {
    std::string path, kind;
    int error;
};

// What the path is said to be, and how opening it as an image ends: opened
// and read as usual, or refused with the system's error and its cause.
void ExpectKindAndOpen(const FileCase& c) {
    EXPECT_EQ(NonRegularFileKind(c.path), c.kind);
    CImageFile file;
    CFileException error(0, 0, "");
    EXPECT_EQ(file.Open(c.path, &error), c.error == 0);
    EXPECT_EQ(file.IsOpen(), c.error == 0);
    if (c.error == 0) {
        uint8_t bytes[4] = {};
        EXPECT_EQ(file.Read(bytes, 4), 3u);
        return;
    }
    EXPECT_EQ(error.m_lOsError, c.error);
    EXPECT_EQ(error.m_cause, c.error == ENOENT ? CFileException::fileNotFound : CFileException::accessDenied);
    EXPECT_EQ(error.m_strFileName, c.path);
}

// The trace goes to none of `refused` (writing to one that could not be
// opened is harmless); a regular file is appended to, each write whole and
// at once: no buffering to lose in a crash, and no CR added.
void ExpectTraceOnlyInARegularFile(const ScratchDir& dir, const std::vector<std::string>& refused) {
    for (const std::string& path : refused) {
        CFileDebugSink sink(path);
        EXPECT_FALSE(sink.IsOpen()) << path;
        sink.Write("lost\r\n");
    }
    const std::string trace = (dir / "trace.log").string();
    WriteFile(trace, {'o', 'l', 'd', '\n'});
    {
        CFileDebugSink sink(trace);
        ASSERT_TRUE(sink.IsOpen());
        sink.Write("***** one\r\n");
        EXPECT_EQ(Slurp(trace), "old\n***** one\r\n");
        sink.Write("***** two\r\n");
    }
    EXPECT_EQ(Slurp(trace), "old\n***** one\r\n***** two\r\n");
    CFileDebugSink fresh((dir / "new.log").string());
    EXPECT_TRUE(fresh.IsOpen());
    EXPECT_TRUE(fs::is_regular_file(dir / "new.log"));
}

#ifdef _WIN32
// Windows has no FIFOs or sockets in the file system; its devices have
// names of their own (NUL, COM1), and \\.\pipe\ names are not files.
TEST(FileKinds, FifosAndSocketsInTheFileSystem) { GTEST_SKIP() << "FIFOs and socket files exist only on POSIX"; }

struct WindowsFileKinds : ::testing::Test {
    const ScratchDir dir{"tr52k-kinds"};
    std::string folder = (dir / "folder").string(), regular = (dir / "regular.bin").string();
    WindowsFileKinds() {
        fs::create_directories(folder);
        WriteFile(regular, {1, 2, 3});
    }
};

TEST_F(WindowsFileKinds, ImagesThatAreNoRegularFileAreRefusedUnopened) {
    const FileCase cases[] = {
        {"NUL", "a device", EINVAL},
        {"COM1", "a device", EINVAL},
        {"\\\\.\\pipe\\tr52k-test", "a device", EINVAL},
        {folder, "a folder", EISDIR},
        {folder + "/", "a folder", EISDIR},
        {regular, "", 0},
        {(dir / "missing").string(), "", ENOENT},
        {(dir / "no-folder" / "x.bin").string(), "", ENOENT},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        ExpectKindAndOpen(c);
    }
}

TEST_F(WindowsFileKinds, TraceGoesOnlyToARegularFileAndIsAppended) {
    ExpectTraceOnlyInARegularFile(dir, {"NUL", "CON", folder});
}
#else
struct FileKinds : ::testing::Test {
    const ScratchDir dir{"tr52k-kinds"};
    std::string fifo = (dir / "fifo").string(), folder = (dir / "folder").string(),
                socket = (dir / "socket").string(), regular = (dir / "regular.bin").string();
    int listening = -1;

    FileKinds() {
        EXPECT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
        fs::create_directories(folder);
        WriteFile(regular, {1, 2, 3});
        listening = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::snprintf(a.sun_path, sizeof a.sun_path, "%s", socket.c_str());
        EXPECT_EQ(::bind(listening, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    }
    ~FileKinds() override { ::close(listening); }
};

TEST_F(FileKinds, ImagesThatAreNoRegularFileAreRefusedUnopened) {
    const FileCase cases[] = {
        {fifo, "a FIFO (named pipe)", EINVAL},
        {"/dev/null", "a character device", EINVAL},
        {socket, "a socket", EINVAL},
        {folder, "a folder", EISDIR},
        {regular, "", 0},
        {(dir / "missing").string(), "", ENOENT},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        ExpectKindAndOpen(c);
        if (c.error != 0) {
            EXPECT_THROW(ReadWholeFile(c.path), CFileException);
        }
    }
}

TEST_F(FileKinds, TraceGoesOnlyToARegularFile) {
    // A FIFO with a reader would take the trace; one without would block the
    // open. Both are refused, as are a device, a folder and a socket.
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    ExpectTraceOnlyInARegularFile(dir, {fifo, "/dev/null", folder, socket});
    ::close(reader);
    CFileDebugSink unread(fifo);
    EXPECT_FALSE(unread.IsOpen());
}
#endif
}  // namespace
