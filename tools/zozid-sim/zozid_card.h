// SPDX-License-Identifier: MIT
/* zozid_card.h: the JPEG test card the stand-in hands out as a snapshot.
 *
 *   std::vector<U8> vecJpeg;
 *   if (MakeTestCard(1280, 720, "2024-01-02 03:04:05", 100000, &vecJpeg) == 0) ...
 *   WriteFileAtomic(strSnapDir + "/snap.jpg", vecJpeg);
 */
#ifndef ZOZID_CARD_H
#define ZOZID_CARD_H

#include <string>
#include <vector>

#include "type.h"

/* CardSizeForResolution: picture size of a resolution index, as the device's
 * table gives it (codes 0..2 with their 625-line heights); unknown codes
 * give 1280 x 720. */
void CardSizeForResolution(U8 u8Index, U16* pu16Width, U16* pu16Height);

/* MakeTestCard: colour bars, a grey ramp and the time stamp text, encoded as a
 * baseline JPEG. With u32TargetBytes > 0 the quality is lowered until the
 * picture fits and comment markers pad it up to that size (exactly, unless
 * the target is below what the lowest quality gives).
 * ps8Stamp: digits, '-', ':', ' ' and 'x' are drawn, other characters are gaps.
 * return 0, or -1 (zero size, encoder failure); *pvecJpeg written on success only */
int MakeTestCard(U16 u16Width, U16 u16Height, const char* ps8Stamp, U32 u32TargetBytes,
                 std::vector<U8>* pvecJpeg);

/* WriteFileAtomic: writes the bytes to "<path>.tmp" in the same directory and
 * renames that over strPath, so a reader sees either no file or all of it.
 * return 0, or -1 (the temporary file is removed again) */
int WriteFileAtomic(const std::string& strPath, const U8* pu8Data, size_t sLen);

#endif /* ZOZID_CARD_H */
