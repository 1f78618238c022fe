/* SPDX-License-Identifier: MIT */
/* snapfloor: the least a CGI costs on the camera's web server, the floor the
 * snapshot CGI is measured against. A static C program that sends the file
 * "snapfloor.jpg" of its working directory (busybox httpd runs a CGI in its
 * own directory) behind a head like the snapshot's, and nothing else: no
 * environment read, no check, no exchange. */
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

static int write_all(const char* buf, size_t len)
{
    size_t done = 0;
    while (done < len) {
        const ssize_t n = write(STDOUT_FILENO, buf + done, len - done);
        if (n <= 0) {
            return -1;
        }
        done += (size_t)n;
    }
    return 0;
}

int main(void)
{
    char head[256];
    char buf[10240];
    struct stat st;
    const int fd = open("snapfloor.jpg", O_RDONLY | O_CLOEXEC);
    if (fd < 0 || fstat(fd, &st) != 0) {
        return 1;
    }
    const int n = snprintf(head, sizeof(head),
                           "Status: 200 OK\r\nAccept-Ranges: bytes\r\nContent-Length: %ld\r\n"
                           "Connection: close\r\nContent-Type: image/jpeg\r\n"
                           "Cache-Control: no-store\r\n\r\n",
                           (long)st.st_size);
    if (n < 0 || (size_t)n >= sizeof(head) || write_all(head, (size_t)n) != 0) {
        return 1;
    }
    for (long left = (long)st.st_size; left > 0;) {
        const ssize_t got = read(fd, buf, sizeof(buf));
        if (got <= 0 || write_all(buf, (size_t)got) != 0) {
            return 1;
        }
        left -= (long)got;
    }
    return 0;
}
