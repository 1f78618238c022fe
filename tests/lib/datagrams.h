// SPDX-License-Identifier: MIT
/* datagrams.h: the sample datagrams of the discovery protocol (datagrams.txt beside
 * this header, captured from the real devfinder), for the C++ tests of every codec.
 *
 *   const std::vector<uint8_t> vecReply = SampleDatagram("search_reply");
 *   ASSERT_EQ(464u, vecReply.size());
 *
 * The build passes the file's path as CAM_DATAGRAMS_FILE. A file that cannot be
 * read, or a name it does not hold, is a test failure that names it, and an empty
 * datagram. The file's form is described at its top. */
#ifndef CAM_TESTS_DATAGRAMS_H
#define CAM_TESTS_DATAGRAMS_H

#include <gtest/gtest.h>
#include <stdint.h>

#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace camtest {

typedef std::map<std::string, std::vector<uint8_t>> DatagramMap;

inline int DatagramHexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

/* One line of bytes, "oooo  hh hh ..." (offset in hex, then 1 to 16 bytes), appended
 * to *pvecData; false, with *pvecData untouched, for anything else or an offset that
 * is not where the datagram has got to. */
inline bool ParseDatagramRow(const std::string& strLine, std::vector<uint8_t>* pvecData)
{
    size_t uOff = 0;
    for (size_t i = 0; i < 4; ++i) {
        const int s32Digit = i < strLine.size() ? DatagramHexDigit(strLine[i]) : -1;
        if (s32Digit < 0) return false;
        uOff = uOff * 16 + (size_t)s32Digit;
    }
    if (uOff != pvecData->size() || strLine.size() < 8 || strLine[4] != ' ') return false;
    std::vector<uint8_t> vecRow;
    for (size_t uPos = 5; uPos < strLine.size(); uPos += 3) {
        const int s32Hi = uPos + 2 < strLine.size() ? DatagramHexDigit(strLine[uPos + 1]) : -1;
        const int s32Lo = uPos + 2 < strLine.size() ? DatagramHexDigit(strLine[uPos + 2]) : -1;
        if (strLine[uPos] != ' ' || s32Hi < 0 || s32Lo < 0 || vecRow.size() == 16) return false;
        vecRow.push_back((uint8_t)(s32Hi * 16 + s32Lo));
    }
    pvecData->insert(pvecData->end(), vecRow.begin(), vecRow.end());
    return true;
}

/* Every datagram of the file's text into *pmapOut; false and the offending line in
 * *pstrWhy at the first line that is not a comment, a blank line, a datagram's
 * "name: what it is" line or one of its lines of bytes. */
inline bool ParseDatagrams(std::istream& is, DatagramMap* pmapOut, std::string* pstrWhy)
{
    DatagramMap mapAll;
    std::vector<uint8_t>* pvecCur = nullptr;
    std::string strLine;
    for (unsigned uNo = 1; std::getline(is, strLine); ++uNo) {
        if (strLine.empty()) {
            pvecCur = nullptr;
            continue;
        }
        if (strLine[0] == '#') continue;
        const size_t uColon = strLine.find(": ");
        if (pvecCur == nullptr && uColon != std::string::npos && uColon > 0 &&
            mapAll.count(strLine.substr(0, uColon)) == 0) {
            pvecCur = &mapAll[strLine.substr(0, uColon)];
            continue;
        }
        if (pvecCur != nullptr && ParseDatagramRow(strLine, pvecCur)) continue;
        *pstrWhy = "line " + std::to_string(uNo) + ": " + strLine;
        return false;
    }
    *pmapOut = mapAll;
    return true;
}

/* The bytes of the sample datagram strName (read from the file once). */
inline std::vector<uint8_t> SampleDatagram(const std::string& strName)
{
    static const DatagramMap s_mapAll = [] {
        DatagramMap mapRead;
        std::string strWhy = "cannot be read";
        std::ifstream is(CAM_DATAGRAMS_FILE);
        if (!is || !ParseDatagrams(is, &mapRead, &strWhy)) {
            ADD_FAILURE() << CAM_DATAGRAMS_FILE << ": " << strWhy;
        }
        return mapRead;
    }();
    const auto it = s_mapAll.find(strName);
    if (it == s_mapAll.end()) {
        ADD_FAILURE() << "no datagram " << strName << " in " << CAM_DATAGRAMS_FILE;
        return std::vector<uint8_t>();
    }
    return it->second;
}

}  // namespace camtest

#endif  // CAM_TESTS_DATAGRAMS_H
