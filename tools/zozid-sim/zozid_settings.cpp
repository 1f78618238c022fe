// SPDX-License-Identifier: MIT
#include "zozid_settings.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <vector>

const char* const ZOZID_DEFAULT_SETTINGS =
    "dhcp=0\n"
    "ipaddr=192.168.1.10\n"
    "netmask=255.255.255.0\n"
    "gateway=192.168.1.1\n"
    "macaddr=00:11:22:33:44:55\n"
    "nettype=0\n"
    "ipv6addr=\n"
    "ipv6prefixlength=0\n"
    "ipv6gateway=\n";

namespace {

constexpr size_t ZOZID_SETTINGS_MAX = 64 * 1024; /* a settings file is a few hundred bytes */
constexpr size_t ZOZID_TEXT4_MAX = 31;
constexpr size_t ZOZID_TEXT6_MAX = 63;

bool IsSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

/* A cursor over the file's text; every read is bounded by the text's end. */
class SettingsReader {
public:
    explicit SettingsReader(const std::string& strText) : m_strText(strText), m_sPos(0) {}

    void SkipSpace()
    {
        while (m_sPos < m_strText.size() && IsSpace(m_strText[m_sPos])) {
            ++m_sPos;
        }
    }
    /* white space after '=' but within the line */
    void SkipBlanks()
    {
        while (m_sPos < m_strText.size() && IsSpace(m_strText[m_sPos]) &&
               m_strText[m_sPos] != '\n') {
            ++m_sPos;
        }
    }
    bool Key(const char* ps8Key)
    {
        const size_t sLen = strlen(ps8Key);
        if (m_strText.compare(m_sPos, sLen, ps8Key) != 0) {
            return false;
        }
        m_sPos += sLen;
        SkipBlanks();
        return true;
    }
    bool Text(size_t sMax, std::string* pstrVal)
    {
        const size_t sStart = m_sPos;
        while (m_sPos < m_strText.size() && !IsSpace(m_strText[m_sPos])) {
            ++m_sPos;
        }
        if (m_sPos - sStart > sMax) {
            return false;
        }
        pstrVal->assign(m_strText, sStart, m_sPos - sStart);
        return true;
    }
    bool Int(S32* ps32Val)
    {
        size_t sPos = m_sPos;
        bool bNeg = false;
        if (sPos < m_strText.size() && (m_strText[sPos] == '-' || m_strText[sPos] == '+')) {
            bNeg = m_strText[sPos] == '-';
            ++sPos;
        }
        const size_t sDigits = sPos;
        S64Like s64Val = 0;
        while (sPos < m_strText.size() && m_strText[sPos] >= '0' && m_strText[sPos] <= '9') {
            s64Val = s64Val * 10 + (m_strText[sPos] - '0');
            if (s64Val > 0x7FFFFFFFLL) {
                return false;
            }
            ++sPos;
        }
        if (sPos == sDigits) {
            return false;
        }
        m_sPos = sPos;
        *ps32Val = (S32)(bNeg ? -s64Val : s64Val);
        return true;
    }

private:
    typedef long long S64Like;
    const std::string& m_strText;
    size_t m_sPos;
};

bool ValidIpv4(const std::string& strAddr, struct in_addr* pstAddr)
{
    return inet_pton(AF_INET, strAddr.c_str(), pstAddr) == 1;
}

/* Runs `ip` with the given arguments and waits for it. */
int RunIp(const std::vector<std::string>& vecArgs)
{
    std::vector<char*> vecArgv;
    static char s8Ip[] = "ip";
    vecArgv.push_back(s8Ip);
    std::vector<std::string> vecCopy(vecArgs);
    for (std::string& strArg : vecCopy) {
        vecArgv.push_back(&strArg[0]);
    }
    vecArgv.push_back(nullptr);
    fflush(stdout);
    const pid_t pid = fork();
    if (pid < 0) {
        const int s32Err = errno;
        fprintf(stderr, "zozid: fork: %s\n", strerror(s32Err));
        return -1;
    }
    if (pid == 0) {
        execvp("ip", vecArgv.data());
        _exit(127);
    }
    int s32Status = 0;
    pid_t ret;
    do {
        ret = waitpid(pid, &s32Status, 0);
    } while (ret < 0 && errno == EINTR);
    if (ret != pid || !WIFEXITED(s32Status) || WEXITSTATUS(s32Status) != 0) {
        std::string strLine;
        for (const std::string& strArg : vecArgs) {
            strLine += " " + strArg;
        }
        fprintf(stderr, "zozid: ip%s failed\n", strLine.c_str());
        return -1;
    }
    return 0;
}

}  // namespace

int EnsureSettingsFile(const std::string& strPath)
{
    const int s32Fd = open(strPath.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (s32Fd < 0) {
        const int s32Err = errno;
        if (s32Err == EEXIST) {
            return 0;
        }
        fprintf(stderr, "zozid: cannot create %s: %s\n", strPath.c_str(), strerror(s32Err));
        return -1;
    }
    const size_t sLen = strlen(ZOZID_DEFAULT_SETTINGS);
    size_t sDone = 0;
    int s32Ret = 1;
    for (U32 u32Try = 0; sDone < sLen && u32Try < 100; ++u32Try) {
        const ssize_t n = write(s32Fd, ZOZID_DEFAULT_SETTINGS + sDone, sLen - sDone);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        sDone += (size_t)n;
    }
    if (sDone != sLen || fsync(s32Fd) != 0) {
        fprintf(stderr, "zozid: cannot write %s\n", strPath.c_str());
        s32Ret = -1;
    }
    close(s32Fd);
    return s32Ret;
}

int ParseSettingsText(const std::string& strText, ZOZID_NET_S* pstNet)
{
    ZOZID_NET_S stNet;
    SettingsReader stRd(strText);
    /* The first key begins the file; later keys may follow white space. */
    bool bOk = stRd.Key("dhcp=") && stRd.Int(&stNet.s32Dhcp);
    if (bOk) {
        stNet.u32Keys = 1;
    }
    struct Step {
        const char* ps8Key;
        std::string* pstrText;
        size_t sMax;
        S32* ps32Int;
    };
    const Step astSteps[] = {
        {"ipaddr=", &stNet.strIpAddr, ZOZID_TEXT4_MAX, nullptr},
        {"netmask=", &stNet.strNetmask, ZOZID_TEXT4_MAX, nullptr},
        {"gateway=", &stNet.strGateway, ZOZID_TEXT4_MAX, nullptr},
        {"macaddr=", &stNet.strMacAddr, ZOZID_TEXT4_MAX, nullptr},
        {"nettype=", nullptr, 0, &stNet.s32NetType},
        {"ipv6addr=", &stNet.strIpv6Addr, ZOZID_TEXT6_MAX, nullptr},
        {"ipv6prefixlength=", nullptr, 0, &stNet.s32Ipv6Prefix},
        {"ipv6gateway=", &stNet.strIpv6Gateway, ZOZID_TEXT6_MAX, nullptr},
    };
    for (const Step& stStep : astSteps) {
        if (!bOk) {
            break;
        }
        stRd.SkipSpace();
        bOk = stRd.Key(stStep.ps8Key) &&
              (stStep.ps32Int != nullptr ? stRd.Int(stStep.ps32Int)
                                         : stRd.Text(stStep.sMax, stStep.pstrText));
        if (bOk) {
            ++stNet.u32Keys;
        }
    }
    *pstNet = stNet;
    return stNet.u32Keys == 9 ? 0 : -1;
}

int ReadSettingsFile(const std::string& strPath, ZOZID_NET_S* pstNet)
{
    std::unique_ptr<FILE, int (*)(FILE*)> pFile(fopen(strPath.c_str(), "r"), fclose);
    if (!pFile) {
        const int s32Err = errno;
        fprintf(stderr, "zozid: cannot read %s: %s\n", strPath.c_str(), strerror(s32Err));
        return -1;
    }
    std::string strText;
    char s8Buf[4096];
    size_t n;
    while ((n = fread(s8Buf, 1, sizeof(s8Buf), pFile.get())) > 0 &&
           strText.size() < ZOZID_SETTINGS_MAX) {
        strText.append(s8Buf, n);
    }
    return ParseSettingsText(strText, pstNet);
}

int MaskToPrefix(const char* ps8Mask)
{
    struct in_addr stMask;
    if (ps8Mask == nullptr || inet_pton(AF_INET, ps8Mask, &stMask) != 1) {
        return -1;
    }
    const U32 u32Mask = ntohl(stMask.s_addr);
    int s32Prefix = 0;
    while (s32Prefix < 32 && (u32Mask & (0x80000000u >> s32Prefix)) != 0) {
        ++s32Prefix;
    }
    /* everything below the first zero bit must be zero too */
    const U32 u32Expect = s32Prefix == 0 ? 0 : (0xFFFFFFFFu << (32 - s32Prefix));
    return u32Mask == u32Expect ? s32Prefix : -1;
}

int ApplySettings(const ZOZID_NET_S& stNet, const std::string& strIface)
{
    if (stNet.s32Dhcp != 0) {
        return 0;
    }
    struct in_addr stAddr;
    const int s32Prefix = MaskToPrefix(stNet.strNetmask.c_str());
    if (!ValidIpv4(stNet.strIpAddr, &stAddr) || s32Prefix <= 0) {
        fprintf(stderr, "zozid: not applying ipaddr=%s netmask=%s\n", stNet.strIpAddr.c_str(),
                stNet.strNetmask.c_str());
        return -1;
    }
    if (RunIp({"addr", "flush", "dev", strIface}) != 0) {
        return -1;
    }
    const std::string strCidr = stNet.strIpAddr + "/" + std::to_string(s32Prefix);
    if (RunIp({"addr", "add", strCidr, "dev", strIface}) != 0) {
        return -1;
    }
    struct in_addr stGw;
    if (ValidIpv4(stNet.strGateway, &stGw) && stGw.s_addr != 0) {
        if (RunIp({"route", "replace", "default", "via", stNet.strGateway, "dev", strIface}) != 0) {
            return -1;
        }
    }
    return 1;
}
