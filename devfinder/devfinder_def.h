// SPDX-License-Identifier: MIT
/* devfinder_def.h: the device's fixed values the daemon's own device
 * (NetInterface) relies on, each named once: the settings file, the main
 * application's command, and the user table the main application publishes.
 * Unit tests give the device's code paths in a temporary directory instead. */
#ifndef DEVFINDER_DEVFINDER_DEF_H
#define DEVFINDER_DEVFINDER_DEF_H

#include <stddef.h>

/* Settings file owned by the main application */
constexpr const char* DEVFINDER_NETWORK_INI = "/mivor/network.ini";

/* Main application's command as ps lists it (its first word); SIGUSR1 = "settings changed" */
constexpr const char* DEVFINDER_MAIN_APP_COMMAND = "./zozid";

/* User table published by the main application in System V shared memory:
 * the other-parameter block under ftok(DEVFINDER_CHECK_KEY_PATH, 11). */
constexpr const char* DEVFINDER_CHECK_KEY_PATH = "/mivor/check";
constexpr int DEVFINDER_OTHER_KEY_ID = 11;
constexpr unsigned DEVFINDER_OTHER_BLOCK_SIZE = 4312;
constexpr unsigned DEVFINDER_USER_TABLE_OFFSET = 2080;
constexpr unsigned DEVFINDER_USER_COUNT = 30;
constexpr unsigned DEVFINDER_USER_ENTRY_SIZE = 36;
constexpr unsigned DEVFINDER_USER_FIELD_SIZE = 16;

/* One entry of the user table. */
#pragma pack(push, 1)
typedef struct {
    unsigned char u8InUse; /* 0 = free slot */
    unsigned char u8Privilege;
    unsigned char u8Reserved[2];
    char s8UserName[DEVFINDER_USER_FIELD_SIZE]; /* zero-padded, no terminator when full */
    char s8Password[DEVFINDER_USER_FIELD_SIZE]; /* zero-padded, no terminator when full */
} DEVFINDER_USER_ENTRY_S;
#pragma pack(pop)
static_assert(sizeof(DEVFINDER_USER_ENTRY_S) == DEVFINDER_USER_ENTRY_SIZE,
              "a user entry is 36 bytes");
static_assert(offsetof(DEVFINDER_USER_ENTRY_S, s8UserName) == 4 &&
                  offsetof(DEVFINDER_USER_ENTRY_S, s8Password) == 20,
              "name at 4, password at 20");

static_assert(DEVFINDER_USER_TABLE_OFFSET + DEVFINDER_USER_COUNT * DEVFINDER_USER_ENTRY_SIZE <=
                  DEVFINDER_OTHER_BLOCK_SIZE,
              "user table lies inside the other-parameter block");

#endif /* DEVFINDER_DEVFINDER_DEF_H */
