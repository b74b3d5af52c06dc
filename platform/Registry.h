// Registry store: the role of HKEY_LOCAL_MACHINE for the loader's settings.
// The calls mirror RegCreateKeyEx / RegQueryValueEx / RegSetValueEx /
// RegCloseKey closely enough that the settings code keeps the system's
// result codes and error boxes. REG_SZ data travels as UTF-16LE bytes with
// the terminator, as on Windows, so stored sizes match ("10.1.2.3" is 18).
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/Win32Types.h"

using RegKey = uint32_t;  // 0 is the null handle

class CRegistryStore {
public:
    virtual ~CRegistryStore() = default;

    // Opens the key below HKEY_LOCAL_MACHINE, creating it when it is absent.
    // `access` is KEY_READ or KEY_WRITE. Returns a Win32 error code.
    virtual uint32_t CreateKey(const std::string& path, uint32_t access, RegKey* key) = 0;

    // `*type` and `*size` are in/out as for RegQueryValueEx: on entry the
    // size is the capacity of `data` in bytes; on return the value's type
    // and its full size. A value larger than the capacity gives
    // ERROR_MORE_DATA; an absent one ERROR_FILE_NOT_FOUND.
    virtual uint32_t QueryValue(RegKey key, const std::string& name, uint32_t* type,
                                uint8_t* data, uint32_t* size) = 0;

    // Stores the value and makes it durable before returning.
    virtual uint32_t SetValue(RegKey key, const std::string& name, uint32_t type,
                              const uint8_t* data, uint32_t size) = 0;

    virtual uint32_t CloseKey(RegKey key) = 0;
};

// One stored value.
struct RegValue {
    uint32_t type = 0;  // REG_NONE
    std::vector<uint8_t> data;
};
// Key paths and value names match without regard to case, as in the Windows
// registry; an entry keeps the spelling it was first written with.
struct CRegNameLess {
    bool operator()(const std::string& a, const std::string& b) const;
};
using RegKeyValues = std::map<std::string, RegValue, CRegNameLess>;  // value name -> value
using RegHive = std::map<std::string, RegKeyValues, CRegNameLess>;   // key path -> values

// Parses and writes the text of a registry export:
//   Windows Registry Editor Version 5.00
//   [HKEY_LOCAL_MACHINE\SOFTWARE\Korvanex\TR52K]
//   "ETHERNET_IP_ADDR"="192.168.1.100"
//   "NO_INIT_STATUS"=dword:00000001
//   "BLOB"=hex:01,02,ff
// Key paths in the hive omit the "HKEY_LOCAL_MACHINE\" root. Parse returns
// false (and leaves `hive` unspecified) on any malformed line.
bool ParseRegistryExport(const std::string& text, RegHive* hive, std::string* error);
std::string FormatRegistryExport(const RegHive& hive);

// Reads a settings file that the platform has opened for reading (null when
// opening failed, errno saying why) to its end, closes it and parses it.
// Returns ERROR_SUCCESS or what the store reports: ERROR_FILE_NOT_FOUND,
// ERROR_ACCESS_DENIED (unreadable), ERROR_BADDB (over 1 MiB or malformed).
uint32_t ReadRegistryExportFile(std::FILE* file, RegHive* hive);

// REG_SZ data: UTF-16LE with the terminating zero, as stored and queried.
std::vector<uint8_t> Utf8ToRegSzBytes(const std::string& text);
// Stops at the first terminator; an odd last byte is ignored.
std::string RegSzBytesToUtf8(const uint8_t* data, size_t size);

// The machine's store: one export-format file, rewritten atomically
// (temporary file, fsync, rename) on every change.
class CFileRegistryStore : public CRegistryStore {
public:
    explicit CFileRegistryStore(std::string filePath);

    // $TR52K_REGISTRY_FILE when set, else the machine-wide default
    // /var/lib/tr52k/registry.reg (on Windows
    // %ProgramData%\Korvanex\TR52K\registry.reg).
    static std::string DefaultPath();

    uint32_t CreateKey(const std::string& path, uint32_t access, RegKey* key) override;
    uint32_t QueryValue(RegKey key, const std::string& name, uint32_t* type, uint8_t* data,
                        uint32_t* size) override;
    uint32_t SetValue(RegKey key, const std::string& name, uint32_t type, const uint8_t* data,
                      uint32_t size) override;
    uint32_t CloseKey(RegKey key) override;

    // Opening a key for reading never creates the file or the key: a store
    // another user owns is only read.
    bool m_bReadOnlyOpen = false;

private:
    struct OpenKey {
        std::string path;
        uint32_t access = 0;
    };
    uint32_t Load(RegHive* hive) const;
    uint32_t Store(const RegHive& hive) const;

    std::string m_strFilePath;
    std::map<RegKey, OpenKey> m_openKeys;
    RegKey m_nextKey = 1;
};

#ifdef _WIN32
// The Windows registry: each call is the registry API's own, under
// HKEY_LOCAL_MACHINE (or, for the user's own settings, HKEY_CURRENT_USER
// with the key "Software\..." spelt as there), and its result code is
// passed on unchanged.
class CWin32RegistryStore : public CRegistryStore {
public:
    enum class ERoot { LocalMachine, CurrentUser };
    explicit CWin32RegistryStore(ERoot root = ERoot::LocalMachine) : m_root(root) {}
    ~CWin32RegistryStore() override;
    CWin32RegistryStore(const CWin32RegistryStore&) = delete;
    CWin32RegistryStore& operator=(const CWin32RegistryStore&) = delete;

    uint32_t CreateKey(const std::string& path, uint32_t access, RegKey* key) override;
    uint32_t QueryValue(RegKey key, const std::string& name, uint32_t* type, uint8_t* data,
                        uint32_t* size) override;
    uint32_t SetValue(RegKey key, const std::string& name, uint32_t type, const uint8_t* data,
                      uint32_t size) override;
    uint32_t CloseKey(RegKey key) override;

    // Opening a key for reading never creates it: an absent key is
    // ERROR_FILE_NOT_FOUND.
    bool m_bReadOnlyOpen = false;

private:
    ERoot m_root;
    std::map<RegKey, void*> m_openKeys;  // our handle -> HKEY
    RegKey m_nextKey = 1;
};
#endif

// In-memory store for tests: every call can be made to fail with a chosen
// code, and CreateKey can hand back a null handle.
class CMemoryRegistryStore : public CRegistryStore {
public:
    uint32_t CreateKey(const std::string& path, uint32_t access, RegKey* key) override;
    uint32_t QueryValue(RegKey key, const std::string& name, uint32_t* type, uint8_t* data,
                        uint32_t* size) override;
    uint32_t SetValue(RegKey key, const std::string& name, uint32_t type, const uint8_t* data,
                      uint32_t size) override;
    uint32_t CloseKey(RegKey key) override;

    // Convenience for tests.
    void PutString(const std::string& path, const std::string& name, const std::string& utf8);
    void PutDword(const std::string& path, const std::string& name, uint32_t value);
    void PutRaw(const std::string& path, const std::string& name, uint32_t type,
                std::vector<uint8_t> data);

    RegHive m_hive;
    uint32_t m_nCreateResult = 0;   // non-zero: CreateKey fails with it
    uint32_t m_nCreateWriteResult = 0;  // non-zero: CreateKey for writing fails with it
    bool m_bNullHandle = false;     // CreateKey succeeds with a null handle
    uint32_t m_nQueryResult = 0;    // non-zero: QueryValue fails with it
    uint32_t m_nSetResult = 0;
    uint32_t m_nCloseResult = 0;
    std::vector<std::string> m_calls;  // "CreateKey(path,access)", "SetValue(name)", ...

private:
    std::map<RegKey, std::string> m_openKeys;
    RegKey m_nextKey = 1;
};

// The settings store a program uses: the user's own settings over the
// machine-wide ones. Reads look first in the user's store and fall back to
// the machine's.
//  - POSIX: two files. The machine-wide one is read by everyone and written
//    by root; an ordinary user's Save writes their own store
//    ($XDG_CONFIG_HOME/tr52k/registry.reg, default
//    ~/.config/tr52k/registry.reg), as Windows lets an ordinary user run a
//    program that writes its settings.
//  - Windows: HKEY_CURRENT_USER\Software\Korvanex\TR52K over
//    HKEY_LOCAL_MACHINE\SOFTWARE\Korvanex\TR52K. Save writes the machine's
//    key when the user may (an administrator), and the user's otherwise,
//    without an error; a value the user's key holds is written there too, so
//    what was saved is what is read.
// $TR52K_REGISTRY_FILE names one file used alone.
class CUserRegistryStore : public CRegistryStore {
public:
    CUserRegistryStore(std::string machinePath, std::string userPath);
    // `machineFirst`: Save writes the machine's store when it may.
    CUserRegistryStore(std::unique_ptr<CRegistryStore> machine, std::unique_ptr<CRegistryStore> user,
                       bool machineFirst);

    uint32_t CreateKey(const std::string& path, uint32_t access, RegKey* key) override;
    uint32_t QueryValue(RegKey key, const std::string& name, uint32_t* type, uint8_t* data,
                        uint32_t* size) override;
    uint32_t SetValue(RegKey key, const std::string& name, uint32_t type, const uint8_t* data,
                      uint32_t size) override;
    uint32_t CloseKey(RegKey key) override;

private:
    struct OpenKey {
        RegKey machine = 0, user = 0;
        bool machineWritable = false;  // opened for writing
        std::string path;
    };
    std::unique_ptr<CRegistryStore> m_machine;
    std::unique_ptr<CRegistryStore> m_user;
    bool m_bMachineFirst = false;
    std::map<RegKey, OpenKey> m_openKeys;
    RegKey m_nextKey = 1;
};

// $TR52K_MACHINE_REGISTRY_FILE, else /var/lib/tr52k/registry.reg
// (%ProgramData%\Korvanex\TR52K\registry.reg on Windows).
std::string MachineRegistryPath();
// $XDG_CONFIG_HOME/tr52k/registry.reg, else ~/.config/tr52k/registry.reg
// (%APPDATA%\tr52k\registry.reg on Windows).
std::string UserRegistryPath();
// The store for this process: $TR52K_REGISTRY_FILE alone when set. Else on
// POSIX the machine-wide file for root and the user's store over it for
// everyone else; on Windows the registry itself, the user's key over the
// machine's (CUserRegistryStore).
std::unique_ptr<CRegistryStore> MakeSettingsStore();
