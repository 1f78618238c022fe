// SPDX-License-Identifier: MIT
/* netini.h: the settings file of the main application, "/mivor/network.ini":
 * its read, its parse, its lines and its replacement, in one place.
 *
 *   std::string strBytes;
 *   struct stat stSt;
 *   NETINI_S stIni;
 *   if (NetIniRead(ps8Path, &strBytes, &stIni, &stSt) == 0) { // the whole file, parsed
 *       ...                                                  // change some values
 *       NetIniReplace(ps8Path, stSt, &stIni);                // new file, or the old
 *   }
 *
 * Nine "key=value" lines in fixed order: dhcp, ipaddr, netmask, gateway,
 * macaddr, nettype, ipv6addr, ipv6prefixlength, ipv6gateway. The first key
 * begins the file; white space and empty lines before a later key and blanks
 * after "=" are skipped. A text value runs up to white space, an integer is a
 * signed decimal of 32 bits. Reading stops at the first line that does not
 * match its key and value; whatever follows the ninth line is ignored. */
#ifndef DEVFINDER_NETINI_H
#define DEVFINDER_NETINI_H

#include <stddef.h>
#include <sys/stat.h>

#include <string>

#include "type.h"

/* Longest values the file holds, without terminator. */
constexpr size_t NETINI_ADDR_TEXT_MAX = 31; /* ipaddr, netmask, gateway, macaddr */
constexpr size_t NETINI_IPV6_TEXT_MAX = 63; /* ipv6addr, ipv6gateway */
constexpr S32 NETINI_LINE_COUNT = 9;
/* The first read takes this much; a file as the main application writes it is
 * about 200 bytes. A longer file is read on, whole, up to NETINI_LOAD_MAX. */
constexpr size_t NETINI_FIRST_READ = 1024;
constexpr size_t NETINI_LOAD_MAX = 1024 * 1024;
/* The replacement: longest settings path, and the temporary file beside it
 * ("<dir>/.<name>" NETINI_TMP_SUFFIX) that is renamed over it. */
constexpr size_t NETINI_PATH_MAX = 4096;
constexpr const char* NETINI_TMP_SUFFIX = ".new";

/* How a parse ended. */
typedef enum {
    NETINI_END_COMPLETE = 0, /* all nine lines matched */
    NETINI_END_SHORT = 1,    /* the file ended before the remaining lines */
    NETINI_END_BAD_LINE = 2, /* a line is present but does not match its key and value */
} NETINI_END_E;

/* The file as parsed. A value that was not read keeps its default: 0, empty
 * text, "00:00:00:00:00:00" for macaddr. Texts are always terminated. */
typedef struct {
    S32 s32Dhcp;
    S8 s8IpAddr[NETINI_ADDR_TEXT_MAX + 1];
    S8 s8NetMask[NETINI_ADDR_TEXT_MAX + 1];
    S8 s8GateWay[NETINI_ADDR_TEXT_MAX + 1];
    S8 s8MacAddr[NETINI_ADDR_TEXT_MAX + 1];
    S32 s32NetType;
    S8 s8Ipv6Addr[NETINI_IPV6_TEXT_MAX + 1];
    S32 s32Ipv6PrefixLen;
    S8 s8Ipv6GateWay[NETINI_IPV6_TEXT_MAX + 1];
    S32 s32LinesRead; /* lines that matched, from the first */
    NETINI_END_E enEnd;
    /* The numbers the address lines begin with, as "%d.%d.%d.%d" reads
     * them: ipaddr when it begins with four; netmask only when ipaddr is four
     * numbers and nothing else (reading stops after a value that goes on).
     * 0 where not read. */
    S32 s32IpNum[4];
    S32 s32MaskNum[4];
    /* The six numbers macaddr begins with, as "%02x:%02x:...:%02x" reads them
     * (one or two hex digits each); zero bytes where not read. */
    U8 u8Mac[6];
} NETINI_S;

/* NetIniLoad: reads the whole settings file into pstrBytes.
 * ps8Path [in]  opened without blocking, read only when it is a regular file
 *               (a FIFO or a directory put there must not hang a search)
 * pstSt   [out] its status at the open (mode and owner for a replacement);
 *               may be null
 * return 0, or -1 with errno set: the open's, EISDIR or EINVAL when it is not
 *        a regular file, EFBIG when it is longer than NETINI_LOAD_MAX;
 *        pstrBytes is then empty. A read error ends the bytes where it came,
 *        as the end of the file would. */
S32 NetIniLoad(const char* ps8Path, std::string* pstrBytes, struct stat* pstSt = nullptr);

/* NetIniParse: the values of uLen bytes of a settings file.
 * pstIni [out] every field defined (see NETINI_S) */
VOID NetIniParse(const S8* ps8Bytes, size_t uLen, NETINI_S* pstIni);

/* NetIniRead: NetIniLoad, then NetIniParse of the bytes it read: what the
 * readers and the rewrite ask for.
 * return 0 with every field of pstIni defined, or -1 as NetIniLoad (pstIni
 *        then untouched) */
S32 NetIniRead(const char* ps8Path, std::string* pstrBytes, NETINI_S* pstIni,
               struct stat* pstSt = nullptr);

/* NetIniTextFits: can the text (terminated within uSize bytes) be a value of
 * at most uMaxLen characters that reads back as written (no white space)? */
bool NetIniTextFits(const S8* ps8Text, size_t uSize, size_t uMaxLen);

/* NetIniFormat: the nine lines of the file for pstIni, in file order.
 * return the length written (terminator not counted), or -1 when a text holds
 * white space or exceeds its capacity (it would not read back as written) or
 * the buffer is too small; ps8Buf is then unspecified */
S32 NetIniFormat(const NETINI_S* pstIni, S8* ps8Buf, size_t uBufSize);

/* NetIniReplace: puts the nine lines of pstIni in place of the regular file
 * ps8Target (no symlink: the caller resolves one) whole: a temporary file
 * beside it, with the old file's mode and (where we may set it) owner,
 * written and synced, then renamed over it, and the directory synced. A crash
 * or a failure at any step leaves the whole old file or the whole new one.
 * stOld [in] the status NetIniLoad gave for ps8Target
 * return 0 when the new file is in place; -1 with a trace line (values that
 *        do not fit the file, or a failed step: the old file is then as it
 *        was and no temporary file is left) */
S32 NetIniReplace(const char* ps8Target, const struct stat& stOld, const NETINI_S* pstIni);

/* The keys, in file order. */
extern const char* const NETINI_KEYS[NETINI_LINE_COUNT];

#endif /* DEVFINDER_NETINI_H */
