// SPDX-License-Identifier: MIT
/* test_support.h: temporary directories, output capture and test-owned IPC
 * objects for the stillcgi unit tests. */
#ifndef TESTS_STILLCGI_TEST_SUPPORT_H
#define TESTS_STILLCGI_TEST_SUPPORT_H

#include <fcntl.h>
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

namespace stilltest {

inline std::string ReadFile(const std::string& strPath)
{
    std::ifstream stIn(strPath, std::ios::binary);
    std::stringstream stBuf;
    stBuf << stIn.rdbuf();
    return stBuf.str();
}

inline void WriteFile(const std::string& strPath, const std::string& strData)
{
    std::ofstream stOut(strPath, std::ios::binary | std::ios::trunc);
    stOut << strData;
}

inline bool Exists(const std::string& strPath)
{
    return access(strPath.c_str(), F_OK) == 0;
}

/* A directory under /tmp, removed with everything in it. */
class TempDir {
public:
    TempDir()
    {
        char s8Tmpl[] = "/tmp/stillcgi_test_XXXXXX";
        m_strPath = mkdtemp(s8Tmpl) != nullptr ? s8Tmpl : "";
    }
    ~TempDir()
    {
        if (!m_strPath.empty()) {
            nftw(m_strPath.c_str(), RemoveOne, 16, FTW_DEPTH | FTW_PHYS);
        }
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string Path(const std::string& strName = "") const { return m_strPath + "/" + strName; }

private:
    static int RemoveOne(const char* ps8Path, const struct stat*, int, struct FTW*)
    {
        return remove(ps8Path);
    }
    std::string m_strPath;
};

/* Redirects a descriptor (1 or 2) into a file until Finish(). */
class FdCapture {
public:
    FdCapture(int s32Fd, const std::string& strFile) : m_s32Fd(s32Fd), m_strFile(strFile)
    {
        fflush(stdout);
        fflush(stderr);
        m_s32Saved = dup(s32Fd);
        const int s32File = open(strFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(s32File, s32Fd);
        close(s32File);
    }
    ~FdCapture() { Finish(); }
    FdCapture(const FdCapture&) = delete;
    FdCapture& operator=(const FdCapture&) = delete;
    std::string Finish()
    {
        if (m_s32Saved >= 0) {
            fflush(stdout);
            fflush(stderr);
            dup2(m_s32Saved, m_s32Fd);
            close(m_s32Saved);
            m_s32Saved = -1;
        }
        return ReadFile(m_strFile);
    }

private:
    int m_s32Fd;
    int m_s32Saved = -1;
    std::string m_strFile;
};

/* One family's objects as zozid creates them: check and request segments of
 * u32Size bytes and a two-semaphore run set (both 1), keyed from the files
 * "check", "zozid" and "run.sh" in a directory. Removed on destruction. */
class IpcFamily {
public:
    IpcFamily() = default;
    ~IpcFamily() { Remove(); }
    IpcFamily(const IpcFamily&) = delete;
    IpcFamily& operator=(const IpcFamily&) = delete;

    void Create(const TempDir& stDir, int s32KeyNum, size_t u32Size, bool bSem = true)
    {
        for (const char* ps8Name : {"check", "zozid", "run.sh"}) {
            if (!Exists(stDir.Path(ps8Name))) {
                WriteFile(stDir.Path(ps8Name), "");
            }
        }
        m_strCheck = stDir.Path("check");
        m_strRequest = stDir.Path("zozid");
        m_strRun = stDir.Path("run.sh");
        m_s32CheckId =
            shmget(ftok(m_strCheck.c_str(), s32KeyNum), u32Size, IPC_CREAT | IPC_EXCL | 0600);
        m_s32RequestId =
            shmget(ftok(m_strRequest.c_str(), s32KeyNum), u32Size, IPC_CREAT | IPC_EXCL | 0600);
        ASSERT_GE(m_s32CheckId, 0);
        ASSERT_GE(m_s32RequestId, 0);
        m_pu8Check = static_cast<unsigned char*>(shmat(m_s32CheckId, nullptr, 0));
        m_pu8Request = static_cast<unsigned char*>(shmat(m_s32RequestId, nullptr, 0));
        m_s32KeyNum = s32KeyNum;
        if (bSem) {
            AddSem();
        }
    }
    /* The run semaphore set (both 1), as a newly started zozid makes it. */
    void AddSem()
    {
        m_s32SemId = semget(ftok(m_strRun.c_str(), m_s32KeyNum), 2, IPC_CREAT | IPC_EXCL | 0600);
        ASSERT_GE(m_s32SemId, 0);
        unsigned short u16Vals[2] = {1, 1};
        semctl(m_s32SemId, 0, SETALL, u16Vals);
    }
    void Remove()
    {
        if (m_pu8Check != nullptr) shmdt(m_pu8Check);
        if (m_pu8Request != nullptr) shmdt(m_pu8Request);
        m_pu8Check = m_pu8Request = nullptr;
        if (m_s32CheckId >= 0) shmctl(m_s32CheckId, IPC_RMID, nullptr);
        if (m_s32RequestId >= 0) shmctl(m_s32RequestId, IPC_RMID, nullptr);
        if (m_s32SemId >= 0) semctl(m_s32SemId, 0, IPC_RMID);
        m_s32CheckId = m_s32RequestId = m_s32SemId = -1;
    }
    void RemoveSem()
    {
        if (m_s32SemId >= 0) semctl(m_s32SemId, 0, IPC_RMID);
        m_s32SemId = -1;
    }
    unsigned char* Check() const { return m_pu8Check; }
    unsigned char* Request() const { return m_pu8Request; }
    int SemVal(int s32Num) const { return semctl(m_s32SemId, s32Num, GETVAL); }
    int Attached(bool bCheck) const
    {
        struct shmid_ds stDs {};
        shmctl(bCheck ? m_s32CheckId : m_s32RequestId, IPC_STAT, &stDs);
        return (int)stDs.shm_nattch;
    }
    const char* CheckKey() const { return m_strCheck.c_str(); }
    const char* RequestKey() const { return m_strRequest.c_str(); }
    const char* RunKey() const { return m_strRun.c_str(); }

private:
    std::string m_strCheck, m_strRequest, m_strRun;
    int m_s32CheckId = -1, m_s32RequestId = -1, m_s32SemId = -1, m_s32KeyNum = 0;
    unsigned char* m_pu8Check = nullptr;
    unsigned char* m_pu8Request = nullptr;
};

inline int GetWord(const unsigned char* pu8At)
{
    int s32Val = 0;
    memcpy(&s32Val, pu8At, sizeof(s32Val));
    return s32Val;
}

inline void PutWord(unsigned char* pu8At, int s32Val)
{
    memcpy(pu8At, &s32Val, sizeof(s32Val));
}

/* Writes a user entry at index i of the table that starts at offset 2080. */
inline void PutUser(unsigned char* pu8Block, int i, unsigned char u8InUse, unsigned char u8Priv,
                    const std::string& strName, const std::string& strPasswd)
{
    unsigned char* pu8Entry = pu8Block + 2080 + 36 * i;
    memset(pu8Entry, 0, 36);
    pu8Entry[0] = u8InUse;
    pu8Entry[1] = u8Priv;
    memcpy(pu8Entry + 4, strName.data(), strName.size() < 16 ? strName.size() : 16);
    memcpy(pu8Entry + 20, strPasswd.data(), strPasswd.size() < 16 ? strPasswd.size() : 16);
}

}  // namespace stilltest

#endif /* TESTS_STILLCGI_TEST_SUPPORT_H */
