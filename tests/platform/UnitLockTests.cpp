// One update per unit on this machine: the unit's lock refuses a second
// holder at once, goes with its holder (also one that dies), and is named
// so that no host name reaches outside its folder or shares another unit's.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <filesystem>
#include <memory>
#include <set>

#include "platform/UnitLock.h"
#include "support/Environment.h"
#include "support/ScratchDir.h"

namespace fs = std::filesystem;

namespace {
#ifndef _WIN32
// The lock files of a test go to a folder of its own. The units' ports are
// ones no simulator of another test listens on.
struct LockFolder {
    ScratchDir dir{"tr52k-lock"};
    LockFolder() { SetEnvironment("XDG_RUNTIME_DIR", dir.path.string()); }
    ~LockFolder() { UnsetEnvironment("XDG_RUNTIME_DIR"); }
};
#else
struct LockFolder {};
#endif

TEST(UnitLock, ASecondHolderIsRefusedUntilTheFirstLetsGo) {
    [[maybe_unused]] LockFolder folder;
    auto first = std::make_unique<CUnitLock>("127.0.0.1", 9);
    ASSERT_TRUE(first->Held()) << first->Error();
    {
        CUnitLock second("127.0.0.1", 9);
        EXPECT_FALSE(second.Held());
        EXPECT_TRUE(second.HeldElsewhere());
        EXPECT_EQ(second.Error(), "Another update on this machine is writing to the unit at 127.0.0.1:9.");
    }
    // A refused object lets go of nothing: the first still holds it.
    EXPECT_FALSE(CUnitLock("127.0.0.1", 9).Held());
    // Another port, another host: other units. A name cased otherwise: the same.
    CUnitLock otherPort("127.0.0.1", 10), otherHost("127.0.0.2", 9), named("Unit-7.Lab", 9);
    EXPECT_TRUE(otherPort.Held() && otherHost.Held() && named.Held());
    EXPECT_FALSE(CUnitLock("unit-7.lab", 9).Held());
    first.reset();
    CUnitLock again("127.0.0.1", 9);
    EXPECT_TRUE(again.Held()) << again.Error();
}

TEST(UnitLock, NamesStayOneSafeNameAndTellUnitsApart) {
    const std::string longHost(300, 'a');
    const struct { std::string host; uint16_t port; } units[] = {
        {"../../etc/passwd", 5000}, {"..", 5000}, {".", 5000}, {"", 5000}, {"a/b", 5000}, {"a_b", 5000},
        {"a%2Fb", 5000}, {"a\\b", 5000}, {"a:b", 5000}, {"::1", 5000}, {std::string("a\0b", 3), 5000},
        {"a\nb", 5000}, {"dev\xc3\xa9", 5000}, {longHost, 5000}, {longHost + "b", 5000}, {"a", 5000},
        {"a", 50}, {"a_5", 0},
    };
    std::set<std::string> names;
    for (const auto& u : units) {
        const std::string name = UnitLockName(u.host, u.port);
        SCOPED_TRACE(name);
        EXPECT_EQ(name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789.-_%~"), std::string::npos);
        EXPECT_EQ(name.rfind("unit-", 0), 0u);
        EXPECT_LE(name.size(), 160u);
        EXPECT_TRUE(names.insert(name).second) << "shared by two units";
    }
}

#ifndef _WIN32
TEST(UnitLock, LockFilesStayInTheirFolder) {
    LockFolder folder;
    ScratchDir outside{"tr52k-lock-outside"};
    const std::string escape = "../" + outside.path.filename().string() + "/x";
    for (const std::string& host : {escape, std::string("/tmp/x"), std::string("..")}) {
        CUnitLock lock(host, 5000);
        EXPECT_TRUE(lock.Held()) << lock.Error();
    }
    EXPECT_TRUE(fs::is_empty(outside.path));
    size_t files = 0;
    for (const auto& e : fs::directory_iterator(folder.dir.path)) {
        EXPECT_TRUE(e.is_regular_file()) << e.path();
        ++files;
    }
    EXPECT_EQ(files, 3u);
}

// The user's runtime folder when it can be written, else the system's.
TEST(UnitLock, TheFolderIsTheRuntimeFolderWhenItCanBeUsed) {
    ScratchDir runtime{"tr52k-run"};
    const struct { std::string value; bool used; } cases[] = {
        {runtime.path.string(), true}, {(runtime / "missing").string(), false}, {"relative", false}, {"", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        SetEnvironment("XDG_RUNTIME_DIR", c.value);
        const std::string folder = UnitLockFolder();
        EXPECT_EQ(folder == c.value, c.used);
        EXPECT_FALSE(folder.empty());
    }
    UnsetEnvironment("XDG_RUNTIME_DIR");
}

// A holder that dies, however, leaves the unit free; while it lives,
// another process is refused.
TEST(UnitLock, AProcessThatDiesLetsGo) {
    LockFolder folder;
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        CUnitLock lock("127.0.0.1", 9);
        const char held = lock.Held() ? 'y' : 'n';
        (void)!::write(ready[1], &held, 1);
        for (;;) ::pause();
    }
    ::close(ready[1]);
    char held = 0;
    ASSERT_EQ(::read(ready[0], &held, 1), 1);
    ::close(ready[0]);
    EXPECT_EQ(held, 'y');
    EXPECT_TRUE(CUnitLock("127.0.0.1", 9).HeldElsewhere());
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    CUnitLock after("127.0.0.1", 9);
    EXPECT_TRUE(after.Held()) << after.Error();
}
#endif
}  // namespace
