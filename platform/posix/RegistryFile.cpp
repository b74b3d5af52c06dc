// The registry file on POSIX, and the settings store made of such files.
#include "platform/Registry.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace win32;

namespace {
}  // namespace

std::string MachineRegistryPath() {
    const char* env = std::getenv("TR52K_MACHINE_REGISTRY_FILE");
    return env && *env ? env : "/var/lib/tr52k/registry.reg";
}

std::string UserRegistryPath() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && *xdg == '/') return std::string(xdg) + "/tr52k/registry.reg";
    const char* home = std::getenv("HOME");
    return std::string(home && *home ? home : ".") + "/.config/tr52k/registry.reg";
}

std::unique_ptr<CRegistryStore> MakeSettingsStore() {
    const char* single = std::getenv("TR52K_REGISTRY_FILE");
    if (single && *single) return std::make_unique<CFileRegistryStore>(single);
    if (::geteuid() == 0) return std::make_unique<CFileRegistryStore>(MachineRegistryPath());
    return std::make_unique<CUserRegistryStore>(MachineRegistryPath(), UserRegistryPath());
}

std::string CFileRegistryStore::DefaultPath() {
    const char* env = std::getenv("TR52K_REGISTRY_FILE");
    if (env && *env) return env;
    return "/var/lib/tr52k/registry.reg";
}

uint32_t CFileRegistryStore::Load(RegHive* hive) const {
    return ReadRegistryExportFile(std::fopen(m_strFilePath.c_str(), "rb"), hive);
}

static bool MakeParentDirs(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos || slash == 0) return true;
    std::string dir = path.substr(0, slash);
    struct stat st;
    if (stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    if (!MakeParentDirs(dir)) return false;
    return mkdir(dir.c_str(), 0755) == 0 || errno == EEXIST;
}

uint32_t CFileRegistryStore::Store(const RegHive& hive) const {
    if (!MakeParentDirs(m_strFilePath)) return ERROR_ACCESS_DENIED;
    std::string tmp = m_strFilePath + ".tmp." + std::to_string(getpid());
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return ERROR_ACCESS_DENIED;
    std::string text = FormatRegistryExport(hive);
    size_t done = 0;
    while (done < text.size()) {
        ssize_t w = write(fd, text.data() + done, text.size() - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            close(fd);
            unlink(tmp.c_str());
            return ERROR_ACCESS_DENIED;
        }
        done += static_cast<size_t>(w);
    }
    if (fsync(fd) != 0 || close(fd) != 0 || rename(tmp.c_str(), m_strFilePath.c_str()) != 0) {
        unlink(tmp.c_str());
        return ERROR_ACCESS_DENIED;
    }
    size_t slash = m_strFilePath.find_last_of('/');
    std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : m_strFilePath.substr(0, slash));
    int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        fsync(dfd);
        close(dfd);
    }
    return ERROR_SUCCESS;
}

