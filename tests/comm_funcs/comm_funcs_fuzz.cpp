// SPDX-License-Identifier: MIT
/* Arbitrary bytes through the parsers that read outside data: hex text, dotted
 * text and a route dump (with the end-of-dump search of the netlink reader). */
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <vector>

#include "comm_funcs.h"
#include "comm_funcs_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pu8Data, size_t u32Size)
{
    /* The converter prints a line per call; keep the run quiet. */
    static FILE* pNull = freopen("/dev/null", "w", stdout);
    (void)pNull;

    std::vector<char> vecText(pu8Data, pu8Data + u32Size);
    vecText.push_back('\0');

    const int s32Want = static_cast<int>(u32Size / 2);
    std::vector<unsigned char> vecOut(static_cast<size_t>(s32Want) + 1);
    (void)hex_decode(vecText.data(), vecOut.data(), s32Want);
    (void)hex_decode(vecText.data(), vecOut.data(), 1);

    unsigned char u8Ip[4] = {0, 0, 0, 0};
    (void)IPAddrAdapter(vecText.data(), u8Ip, false);

    /* Exactly sized copies, so a read past the dump is caught. */
    std::vector<unsigned char> vecDump(pu8Data, pu8Data + u32Size);
    unsigned char u8Gw[4] = {0, 0, 0, 0};
    const comm_internal::ROUTE_MATCH_S stByIndex = {true, 1, nullptr};
    (void)comm_internal::WalkRouteDump(vecDump.data(), vecDump.size(), stByIndex, u8Gw);
    const comm_internal::ROUTE_MATCH_S stByName = {false, 0, "lo"};
    (void)comm_internal::WalkRouteDump(vecDump.data(), vecDump.size(), stByName, u8Gw);
    (void)comm_internal::FindNlDone(vecDump.data(), vecDump.size());
    return 0;
}
