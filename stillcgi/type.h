// SPDX-License-Identifier: MIT
/* type.h: explicit-width type names of the snapshot CGI's modules.
 * The camera is 32-bit ARM; the checks below keep every width the same on a
 * 64-bit build host, where plain `long` is 8 bytes. */
#ifndef STILLCGI_TYPE_H
#define STILLCGI_TYPE_H

#include <stdint.h>

typedef uint8_t U8;
typedef uint16_t U16;
typedef uint32_t U32;
typedef uint64_t U64;
typedef char S8;
typedef int16_t S16;
typedef int32_t S32;
typedef int32_t LONG; /* 32 bits on every host, unlike `long` */
typedef bool BOOL;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t UINT;
typedef uint32_t ULONG32;
typedef int32_t INT32;
typedef void VOID;

static_assert(sizeof(U8) == 1 && sizeof(S8) == 1 && sizeof(BYTE) == 1, "8-bit types");
static_assert(sizeof(U16) == 2 && sizeof(S16) == 2 && sizeof(WORD) == 2, "16-bit types");
static_assert(sizeof(U32) == 4 && sizeof(S32) == 4 && sizeof(UINT) == 4, "32-bit types");
static_assert(sizeof(LONG) == 4 && sizeof(ULONG32) == 4 && sizeof(INT32) == 4, "LONG is 32 bits");
static_assert(sizeof(U64) == 8, "64-bit type");
static_assert(sizeof(BOOL) == 1, "BOOL is one byte");

#endif /* STILLCGI_TYPE_H */
