// SPDX-License-Identifier: MIT
/* main.cpp: starting the LAN discovery daemon devfinder: its arguments read,
 * then the device and the server made; both live until the process ends, and
 * all work happens on the server's own thread. */
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <new>

#include "bcast_serv.h"
#include "comm_log.h"
#include "search_intf.h"

namespace {

const char s_s8Usage[] =
    "usage: devfinder [--help | --version]\n"
    "The camera's LAN discovery daemon: answers searches and authenticated changes of\n"
    "the network settings on UDP port 9333. Started by the init system; without an\n"
    "argument it runs until it is stopped.\n"
    "  --help     this text\n"
    "  --version  the version\n";

/* --help and --version print and end the program before anything is opened or
 * bound. return the exit status, or -1: no argument, run the daemon. */
int HandleArgs(int argc, char** argv)
{
    if (argc < 2) return -1;
    if (argc == 2 && strcmp(argv[1], "--help") == 0) {
        fputs(s_s8Usage, stdout);
        return 0;
    }
    if (argc == 2 && strcmp(argv[1], "--version") == 0) {
        fputs("devfinder " CAM_VERSION "\n", stdout);
        return 0;
    }
    fputs("devfinder: takes --help or --version only\n", stderr);
    fputs(s_s8Usage, stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    const int s32Exit = HandleArgs(argc, argv);
    if (s32Exit >= 0) return s32Exit;
    /* A log reader that stalls or goes away must not stop the daemon. */
    (void)CommLogNeverBlock();
    NetInterface* pIntf = new (std::nothrow) NetInterface(NULL);
    if (pIntf == nullptr) return 1;
    /* The device, and its requests: one read of the settings file per datagram. */
    BcastServer* pServer = new (std::nothrow) BcastServer(pIntf, pIntf);
    if (pServer == nullptr) return 1;
    for (;;) sleep(1);
}
