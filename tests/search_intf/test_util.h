// SPDX-License-Identifier: MIT
/* test_util.h: temporary directories, files and PATH for the provider's tests. */
#ifndef TESTS_SEARCH_INTF_TEST_UTIL_H
#define TESTS_SEARCH_INTF_TEST_UTIL_H

#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <string>

#include "search_intf.h"

/* A private directory under /tmp, removed with everything in it. */
class TempDir {
public:
    TempDir()
    {
        char s8Tmpl[] = "/tmp/search_intf.XXXXXX";
        const char* ps8Dir = mkdtemp(s8Tmpl);
        m_strDir = ps8Dir != nullptr ? ps8Dir : "";
    }
    ~TempDir()
    {
        if (!m_strDir.empty()) nftw(m_strDir.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Dir() const { return m_strDir; }
    std::string Path(const std::string& strName) const { return m_strDir + "/" + strName; }

private:
    static int RemoveEntry(const char* ps8Path, const struct stat*, int, struct FTW*)
    {
        return remove(ps8Path);
    }
    std::string m_strDir;
};

inline void WriteFile(const std::string& strPath, const std::string& strText, mode_t mode = 0644)
{
    std::ofstream(strPath, std::ios::binary | std::ios::trunc) << strText;
    chmod(strPath.c_str(), mode);
}

/* The whole file, or "" when it cannot be read. */
inline std::string ReadFile(const std::string& strPath)
{
    std::ifstream in(strPath, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

inline bool FileExists(const std::string& strPath)
{
    struct stat st;
    return stat(strPath.c_str(), &st) == 0;
}

/* PATH for the lifetime of the object. */
class ScopedPath {
public:
    explicit ScopedPath(const std::string& strPath)
    {
        const char* ps8Old = getenv("PATH");
        m_strOld = ps8Old != nullptr ? ps8Old : "/usr/bin:/bin";
        setenv("PATH", strPath.c_str(), 1);
    }
    ~ScopedPath() { setenv("PATH", m_strOld.c_str(), 1); }
    ScopedPath(const ScopedPath&) = delete;
    ScopedPath& operator=(const ScopedPath&) = delete;

private:
    std::string m_strOld;
};

/* The paths a TestDevice stands on; a base, so they live before it and after. */
struct TestDevicePaths {
    std::string strIni, strCheckKey, strKill;
};

/* NetInterface over a settings file, a user-table key file and a kill command
 * of the test's own. Each construction prints its trace line. */
class TestDevice : private TestDevicePaths, public NetInterface {
public:
    explicit TestDevice(const std::string& strIniPath,
                        const std::string& strKeyPath = "/nonexistent",
                        const std::string& strKillCmd = "true")
        : TestDevicePaths{strIniPath, strKeyPath, strKillCmd},
          NetInterface(strIni.c_str(), strCheckKey.c_str(), strKill.c_str())
    {
    }
};

/* A settings file as the main application writes it. */
constexpr const char* TEST_INI =
    "dhcp=0\nipaddr=192.168.1.20\nnetmask=255.255.0.0\ngateway=192.168.1.254\n"
    "macaddr=0a:1b:2c:3d:4e:5f\nnettype=3\nipv6addr=fe80::1\nipv6prefixlength=64\n"
    "ipv6gateway=fe80::fe\n";

#endif /* TESTS_SEARCH_INTF_TEST_UTIL_H */
