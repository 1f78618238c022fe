// SPDX-License-Identifier: MIT
/* User table matching: the snapshot check (name and password), the password
 * lookup by name, and the cookie check. */
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cgic.h"
#include "config.h"
#include "snap_handler.h"
#include "test_support.h"

namespace {

using stilltest::PutUser;

class UserTable : public testing::Test {
protected:
    void SetUp() override
    {
        m_stOther.Create(m_stDir, 11, 4316);
        PutUser(m_stOther.Check(), 0, 1, 1, "admin", "wrong");
        PutUser(m_stOther.Check(), 1, 0, 1, "ghost", "boo");  // free slot
        PutUser(m_stOther.Check(), 2, 1, 3, "admin", "1234");
        PutUser(m_stOther.Check(), 3, 1, 2, "sixteencharsname", "sixteencharspass");
        PutUser(m_stOther.Check(), 29, 1, 1, "last", "x");
    }
    S32 Check(const char* ps8User, const char* ps8Passwd)
    {
        return SnapCheckUserAndPrivilege(ps8User, ps8Passwd, m_stOther.CheckKey());
    }
    stilltest::TempDir m_stDir;
    stilltest::IpcFamily m_stOther;
};

TEST_F(UserTable, SnapCheckMatchesWholeNameAndPassword)
{
    EXPECT_EQ(0, Check("admin", "1234"));  // the later entry has the right password
    EXPECT_EQ(-1, Check("ghost", "boo"));  // in-use byte 0
    EXPECT_EQ(0, Check("sixteencharsname", "sixteencharspass"));  // full fields
    EXPECT_EQ(0, Check("last", "x"));
    EXPECT_EQ(-1, Check("Admin", "1234"));
    EXPECT_EQ(-1, Check("admi", "1234"));
    EXPECT_EQ(-1, Check("admin", "12345"));
    EXPECT_EQ(-1, Check("sixteencharsnamex", "sixteencharspass"));
    EXPECT_EQ(-1, Check("", ""));
    EXPECT_EQ(-1, Check(nullptr, "1234"));
}

TEST_F(UserTable, SnapCheckRefusesWithoutSegment)
{
    m_stOther.Remove();
    EXPECT_EQ(-1, Check("admin", "1234"));
}

TEST_F(UserTable, PasswordLookupTakesFirstInUseMatch)
{
    const unsigned char* pu8Table = m_stOther.Check() + 2080;
    char s8Pw[32] = {0};
    U8 u8Priv = 0;
    EXPECT_EQ(0, GetPasswdByUserWithList(pu8Table, "admin", s8Pw, sizeof(s8Pw), &u8Priv));
    EXPECT_STREQ("wrong", s8Pw);
    EXPECT_EQ(1, u8Priv);
    EXPECT_EQ(-1, GetPasswdByUserWithList(pu8Table, "ghost", s8Pw, sizeof(s8Pw), &u8Priv));

    // A 16-character name fills its field and still matches; 17 never does.
    memset(s8Pw, 0, sizeof(s8Pw));
    EXPECT_EQ(0, GetPasswdByUserWithList(pu8Table, "sixteencharsname", s8Pw, 17, &u8Priv));
    EXPECT_STREQ("sixteencharspass", s8Pw);
    EXPECT_EQ(2, u8Priv);
    EXPECT_EQ(-1, GetPasswdByUserWithList(pu8Table, "sixteencharsnameX", s8Pw, 32, nullptr));
}

TEST_F(UserTable, PasswordThatDoesNotFitEndsTheLookup)
{
    PutUser(m_stOther.Check(), 4, 1, 1, "dup", "0123456789abcdef");
    PutUser(m_stOther.Check(), 5, 1, 1, "dup", "short");
    char s8Area[20];
    memset(s8Area, 0x5A, sizeof(s8Area));
    EXPECT_EQ(-1, GetPasswdByUserWithList(m_stOther.Check() + 2080, "dup", s8Area, 16));
    for (unsigned char u8Byte : s8Area) {
        ASSERT_EQ(0x5A, u8Byte);
    }
}

TEST_F(UserTable, CookieCheckComparesPrivilege)
{
    struct Case {
        const char* ps8Cookie;
        int s32Ret;
    };
    const Case stCases[] = {
        {"username=admin; privilege=1", 0},  // first "admin" entry has privilege 1
        {"username=admin; privilege=3", -1},
        {"username=sixteencharsname", 0},  // no privilege cookie: 2
        {"username=last", -1},
        {"privilege=1", -1},
        {"username=nobody; privilege=1", -1},
    };
    for (const Case& stCase : stCases) {
        SCOPED_TRACE(stCase.ps8Cookie);
        setenv("HTTP_COOKIE", stCase.ps8Cookie, 1);
        ASSERT_EQ(0, cgicReadEnvironment());
        EXPECT_EQ(stCase.s32Ret, CheckUserAndPrivilege(m_stOther.CheckKey()));
    }
    unsetenv("HTTP_COOKIE");
    cgicReadEnvironment();
}

TEST(CgicLayer, CookieStringTruncatesAndReportsMissing)
{
    setenv("HTTP_COOKIE", "username=abcdef; privilege=7", 1);
    ASSERT_EQ(0, cgicReadEnvironment());
    char s8Buf[4];
    EXPECT_EQ(cgiFormTruncated, cgiCookieString("username", s8Buf, sizeof(s8Buf)));
    EXPECT_STREQ("abc", s8Buf);
    EXPECT_EQ(cgiFormNotFound, cgiCookieString("other", s8Buf, sizeof(s8Buf)));
    EXPECT_STREQ("", s8Buf);
    int s32Val = 0;
    EXPECT_EQ(cgiFormSuccess, cgiCookieInteger("privilege", &s32Val, 2));
    EXPECT_EQ(7, s32Val);
    EXPECT_EQ(cgiFormNotFound, cgiCookieInteger("missing", &s32Val, 2));
    EXPECT_EQ(2, s32Val);
    unsetenv("HTTP_COOKIE");
    cgicReadEnvironment();
}

TEST(CgicLayer, RequestBodyIsNeverRead)
{
    /* A POST that announces a gigabyte and sends three bytes: the environment
     * is read at once, no byte of standard input is taken, and the request
     * keeps its query and cookies. In a child: it changes standard input. */
    int s32Pipe[2];
    ASSERT_EQ(0, pipe(s32Pipe));
    ASSERT_EQ(3, write(s32Pipe[1], "abc", 3));
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(s32Pipe[0], STDIN_FILENO);
        setenv("REQUEST_METHOD", "POST", 1);
        setenv("CONTENT_LENGTH", "1073741824", 1);
        setenv("CONTENT_TYPE", "application/x-www-form-urlencoded", 1);
        setenv("QUERY_STRING", "user=a&psw=b", 1);
        setenv("HTTP_COOKIE", "username=u", 1);
        int s32Bad = cgicReadEnvironment() == 0 ? 0 : 1;
        s32Bad |= strcmp(cgiQueryString, "user=a&psw=b") == 0 ? 0 : 2;
        s32Bad |= strcmp(cgiRequestMethod, "POST") == 0 ? 0 : 4;
        char s8Buf[8];
        s32Bad |= cgiCookieString("username", s8Buf, sizeof(s8Buf)) == cgiFormSuccess ? 0 : 8;
        _exit(s32Bad);
    }
    int s32St = 0;
    pid_t s32Done = 0;
    for (int i = 0; i < 2000 && s32Done == 0; ++i) {  // at most 20 s
        s32Done = waitpid(pid, &s32St, WNOHANG);
        if (s32Done == 0) {
            usleep(10000);
        }
    }
    if (s32Done == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &s32St, 0);
    }
    EXPECT_TRUE(WIFEXITED(s32St) && WEXITSTATUS(s32St) == 0) << "status " << s32St;
    close(s32Pipe[1]);
    char s8Left[8];
    EXPECT_EQ(3, read(s32Pipe[0], s8Left, sizeof(s8Left)));
    close(s32Pipe[0]);
}

TEST(CgicLayer, QueryStringComesFromEnvironment)
{
    setenv("QUERY_STRING", "user=a%20b&psw=x", 1);
    ASSERT_EQ(0, cgicReadEnvironment());
    EXPECT_STREQ("user=a%20b&psw=x", cgiQueryString);
    unsetenv("QUERY_STRING");
    cgicReadEnvironment();
    EXPECT_STREQ("", cgiQueryString);
}

}  // namespace
