// SPDX-License-Identifier: MIT
/* capture_fd.h: what the code under test writes to a descriptor (standard
 * output or error), caught in a temporary file and read back.
 *
 *   CaptureFd stErr(STDERR_FILENO);          // from here on, fd 2 goes to a file
 *   CommLogLine("BCAST", "F", 1, "x\n");
 *   const std::string strLog = stErr.Take(); // fd 2 is back; what was written
 *   stErr.Start();                           // and once more
 *
 * The log writes straight to the descriptors; stdio's buffers are flushed at
 * both ends for printf-style writers. A capture not taken is undone when the
 * object goes. The two descriptors a capture holds are closed by Take, so
 * descriptor counts around it are unchanged. */
#ifndef TESTS_LIB_CAPTURE_FD_H
#define TESTS_LIB_CAPTURE_FD_H

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

class CaptureFd {
public:
    explicit CaptureFd(int s32Fd, bool bStart = true) : m_s32Fd(s32Fd)
    {
        if (bStart) Start();
    }
    ~CaptureFd() { (void)Take(); }
    CaptureFd(const CaptureFd&) = delete;
    CaptureFd& operator=(const CaptureFd&) = delete;

    /* Sends the descriptor to a new, empty temporary file (a capture already
     * running is taken and dropped first). */
    void Start()
    {
        (void)Take();
        fflush(nullptr);
        char s8Path[] = "/tmp/capture_fd.XXXXXX";
        m_s32File = mkstemp(s8Path);
        if (m_s32File < 0) return;
        (void)unlink(s8Path);
        m_s32Saved = dup(m_s32Fd);
        if (m_s32Saved < 0 || dup2(m_s32File, m_s32Fd) < 0) Close();
    }

    /* Puts the descriptor back. return what was written to it meanwhile ("" when
     * nothing was being captured) */
    std::string Take()
    {
        std::string strText;
        if (m_s32Saved < 0) return strText;
        fflush(nullptr);
        (void)dup2(m_s32Saved, m_s32Fd);
        if (lseek(m_s32File, 0, SEEK_SET) == 0) {
            char s8Buf[4096];
            for (int i = 0; i < 1000000; ++i) {
                const ssize_t s32Got = read(m_s32File, s8Buf, sizeof(s8Buf));
                if (s32Got <= 0) break;
                strText.append(s8Buf, (size_t)s32Got);
            }
        }
        Close();
        return strText;
    }

private:
    void Close()
    {
        if (m_s32Saved >= 0) close(m_s32Saved);
        if (m_s32File >= 0) close(m_s32File);
        m_s32Saved = -1;
        m_s32File = -1;
    }

    int m_s32Fd;
    int m_s32Saved = -1; /* the descriptor as it was, while capturing */
    int m_s32File = -1;  /* the temporary file, while capturing */
};

#endif /* TESTS_LIB_CAPTURE_FD_H */
