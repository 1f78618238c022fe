// SPDX-License-Identifier: MIT
/* The user check against a user table in a segment the test owns, keyed from a
 * temporary key file as the main application keys its own. */
#include <string.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <gtest/gtest.h>

#include "capture_fd.h"
#include "devfinder_def.h"
#include "search_intf_internal.h"
#include "test_util.h"

namespace {

class UserCheck : public testing::Test {
protected:
    void SetUp() override
    {
        WriteFile(m_strKey, "");
        m_s32ShmId = shmget(ftok(m_strKey.c_str(), DEVFINDER_OTHER_KEY_ID),
                            DEVFINDER_OTHER_BLOCK_SIZE + 4, IPC_CREAT | IPC_EXCL | 0600);
        ASSERT_GE(m_s32ShmId, 0) << strerror(errno);
        m_pu8Block = static_cast<U8*>(shmat(m_s32ShmId, nullptr, 0));
        ASSERT_NE((void*)-1, (void*)m_pu8Block);
        memset(m_pu8Block, 0, DEVFINDER_OTHER_BLOCK_SIZE + 4);
    }
    void TearDown() override
    {
        if (m_pu8Block != (U8*)-1) shmdt(m_pu8Block);
        if (m_s32ShmId >= 0) shmctl(m_s32ShmId, IPC_RMID, nullptr);
    }
    U8* Entry(U32 u32Index)
    {
        return m_pu8Block + DEVFINDER_USER_TABLE_OFFSET + u32Index * DEVFINDER_USER_ENTRY_SIZE;
    }
    /* Texts up to the 16-byte field width, without terminator when full. */
    void AddUser(U32 u32Index, const char* ps8Name, const char* ps8Pwd, U8 u8InUse = 1)
    {
        DEVFINDER_USER_ENTRY_S stEntry = {};
        stEntry.u8InUse = u8InUse;
        stEntry.u8Privilege = 1;
        memcpy(stEntry.s8UserName, ps8Name, strnlen(ps8Name, sizeof(stEntry.s8UserName)));
        memcpy(stEntry.s8Password, ps8Pwd, strnlen(ps8Pwd, sizeof(stEntry.s8Password)));
        memcpy(Entry(u32Index), &stEntry, sizeof(stEntry));
    }
    /* Name and password in request fields of 10 and 14 bytes, as the server
     * passes them, checked by a device over the key file (the test's own, or
     * ps8Key). m_strOut: the trace lines beside the operation's own first one. */
    S32 Check(const char* ps8Name, const char* ps8Pwd, const char* ps8Key = nullptr)
    {
        struct {
            S8 s8Name[NETINTF_USER_NAME_SIZE];
            S8 s8Pwd[NETINTF_USER_PWD_SIZE];
            S8 s8After[4];
        } stReq;
        memset(&stReq, 0, sizeof(stReq));
        memcpy(stReq.s8Name, ps8Name, strnlen(ps8Name, sizeof(stReq.s8Name)));
        memcpy(stReq.s8Pwd, ps8Pwd, strnlen(ps8Pwd, sizeof(stReq.s8Pwd)));
        memcpy(stReq.s8After, "zzz", 4);
        TestDevice stDev(m_dir.Path("network.ini"), ps8Key != nullptr ? ps8Key : m_strKey);
        CaptureFd stCapOut(STDOUT_FILENO);
        const S32 s32Ret = stDev.CheckUser(stReq.s8Name, stReq.s8Pwd, CHECK_USER_TYPE_IE);
        m_strOut = stCapOut.Take();
        const std::string strOwn = "), ___________ CheckUser __________\n";
        EXPECT_EQ(0u, m_strOut.find("<CheckUser>:(")) << m_strOut;
        const size_t uOwnEnd = m_strOut.find(strOwn);
        m_strOut.erase(0, uOwnEnd == std::string::npos ? 0 : uOwnEnd + strOwn.size());
        return s32Ret;
    }

    TempDir m_dir;
    const std::string m_strKey = m_dir.Path("check");
    int m_s32ShmId = -1;
    U8* m_pu8Block = (U8*)-1;
    std::string m_strOut;
};

TEST_F(UserCheck, OnlyAnInUseEntryWithBothTextsEqualPasses)
{
    AddUser(0, "admin", "1234");
    AddUser(3, "abcdefghijklmnop", "0123456789abcdef"); /* both fields full */
    AddUser(5, "ghost", "ghost", 0);
    AddUser(7, "abcdefghij", "0123456789abcd"); /* as long as the request fields */
    AddUser(DEVFINDER_USER_COUNT - 1, "last", "pw");
    const struct {
        const char* ps8Name;
        const char* ps8Pwd;
        S32 s32Want;
    } cases[] = {
        {"admin", "1234", 1},
        {"admin", "12345", -1},
        {"admin", "123", -1},
        {"adm", "1234", -1},
        {"ghost", "ghost", -1},
        {"last", "pw", 1},
        {"", "", -1},
        {"abcdefghij", "0123456789abcd", 1},
        {"abcdefghij", "0123456789abc", -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.ps8Name) + ":" + c.ps8Pwd);
        EXPECT_EQ(c.s32Want, Check(c.ps8Name, c.ps8Pwd));
        EXPECT_EQ("", m_strOut);
    }
}

TEST_F(UserCheck, TableIsReadAtEveryCheck)
{
    AddUser(2, "admin", "1234");
    EXPECT_EQ(1, Check("admin", "1234"));
    Entry(2)[0] = 0;
    EXPECT_EQ(-1, Check("admin", "1234"));
    AddUser(9, "oper", "new");
    EXPECT_EQ(1, Check("oper", "new"));
}

/* No table to read is no verdict on the password: the caller must not count
 * it as a wrong one. */
TEST_F(UserCheck, UnreadableTableIsUnavailableNotAWrongPassword)
{
    AddUser(0, "admin", "1234");
    EXPECT_EQ(CHECK_USER_FAILED, Check("admin", "4321"));
    EXPECT_EQ(CHECK_USER_UNAVAILABLE, Check("admin", "1234", m_dir.Path("missing").c_str()));
    EXPECT_NE(std::string::npos, m_strOut.find("<CheckUser>:(")) << m_strOut;

    /* A key file with no segment, and a segment too small for the block. */
    const std::string strOther = m_dir.Path("other");
    WriteFile(strOther, "");
    EXPECT_EQ(CHECK_USER_UNAVAILABLE, Check("admin", "1234", strOther.c_str()));
    EXPECT_NE(std::string::npos, m_strOut.find("<CheckUser>:(")) << m_strOut;
    const int s32Small =
        shmget(ftok(strOther.c_str(), DEVFINDER_OTHER_KEY_ID), 100, IPC_CREAT | IPC_EXCL | 0600);
    ASSERT_GE(s32Small, 0);
    EXPECT_EQ(CHECK_USER_UNAVAILABLE, Check("admin", "1234", strOther.c_str()));
    shmctl(s32Small, IPC_RMID, nullptr);
    EXPECT_NE(std::string::npos, m_strOut.find("too small")) << m_strOut;
}

}  // namespace
