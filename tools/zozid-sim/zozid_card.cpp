// SPDX-License-Identifier: MIT
#include "zozid_card.h"

#include <errno.h>
#include <fcntl.h>
#include <setjmp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

/* jmorecfg.h would declare INT32 as long, which clashes with our 32-bit INT32;
 * it skips its own when XMD_H is defined, and libjpeg's API does not use it. */
#define XMD_H
#include <jpeglib.h>

namespace {

constexpr U32 CARD_JPEG_MARKER_MAX = 65533; /* data bytes in one COM marker */
constexpr U32 CARD_JPEG_MARKER_COST = 4;    /* FF FE and the two length bytes */
constexpr int CARD_QUALITY_LIST[] = {92, 85, 75, 60, 45, 30, 20, 10};

/* 5x7 glyphs, one byte a row, bit 4 the leftmost column. */
struct Glyph {
    char c;
    U8 au8Rows[7];
};
constexpr Glyph CARD_FONT[] = {
    {'0', {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}},
    {'1', {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'2', {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}},
    {'3', {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E}},
    {'4', {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}},
    {'5', {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E}},
    {'6', {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}},
    {'7', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08}},
    {'8', {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}},
    {'9', {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C}},
    {'-', {0x00, 0x00, 0x00, 0x1F, 0x00, 0x00, 0x00}},
    {':', {0x00, 0x0C, 0x0C, 0x00, 0x0C, 0x0C, 0x00}},
    {'x', {0x00, 0x00, 0x11, 0x0A, 0x04, 0x0A, 0x11}},
};

const U8* FindGlyph(char c)
{
    for (const Glyph& stGlyph : CARD_FONT) {
        if (stGlyph.c == c) {
            return stGlyph.au8Rows;
        }
    }
    return nullptr;
}

void DrawCard(U16 u16Width, U16 u16Height, const char* ps8Stamp, std::vector<U8>* pvecRgb)
{
    static const U8 au8Bars[8][3] = {{235, 235, 235}, {235, 235, 16}, {16, 235, 235}, {16, 235, 16},
                                     {235, 16, 235},  {235, 16, 16},  {16, 16, 235},  {16, 16, 16}};
    const size_t sW = u16Width;
    const size_t sH = u16Height;
    pvecRgb->assign(sW * sH * 3, 0);
    U8* pu8Px = pvecRgb->data();
    const size_t sBarRows = sH * 2 / 3;
    for (size_t y = 0; y < sH; ++y) {
        for (size_t x = 0; x < sW; ++x) {
            U8* pu8Dst = pu8Px + (y * sW + x) * 3;
            if (y < sBarRows) {
                memcpy(pu8Dst, au8Bars[(x * 8) / sW], 3);
            } else {
                const U8 u8Grey = (U8)((x * 255) / (sW > 1 ? sW - 1 : 1));
                memset(pu8Dst, u8Grey, 3);
            }
        }
    }
    /* time stamp: black box with white glyphs in the lower part */
    const size_t sLen = strlen(ps8Stamp);
    size_t sScale = sH / 144;
    if (sScale == 0) {
        sScale = 1;
    }
    while (sScale > 1 && (sLen * 6 + 2) * sScale > sW) {
        --sScale;
    }
    const size_t sBoxW = (sLen * 6 + 2) * sScale;
    const size_t sBoxH = 9 * sScale;
    if (sBoxW > sW || sBoxH + sBarRows > sH) {
        return; /* too small a picture for the text */
    }
    const size_t sX0 = (sW - sBoxW) / 2;
    const size_t sY0 = sBarRows + (sH - sBarRows - sBoxH) / 2;
    for (size_t y = 0; y < sBoxH; ++y) {
        memset(pu8Px + ((sY0 + y) * sW + sX0) * 3, 0, sBoxW * 3);
    }
    for (size_t i = 0; i < sLen; ++i) {
        const U8* pu8Rows = FindGlyph(ps8Stamp[i]);
        if (pu8Rows == nullptr) {
            continue;
        }
        for (size_t gy = 0; gy < 7; ++gy) {
            for (size_t gx = 0; gx < 5; ++gx) {
                if ((pu8Rows[gy] & (0x10 >> gx)) == 0) {
                    continue;
                }
                for (size_t sy = 0; sy < sScale; ++sy) {
                    const size_t y = sY0 + (gy + 1) * sScale + sy;
                    const size_t x = sX0 + (1 + i * 6 + gx) * sScale;
                    memset(pu8Px + (y * sW + x) * 3, 255, sScale * 3);
                }
            }
        }
    }
}

struct CardErr {
    struct jpeg_error_mgr stPub;
    jmp_buf stJmp;
};

void CardErrorExit(j_common_ptr pstInfo)
{
    CardErr* pstErr = reinterpret_cast<CardErr*>(pstInfo->err);
    longjmp(pstErr->stJmp, 1);
}

void CardSilent(j_common_ptr /*pstInfo*/) {}

struct EncodeJob {
    const U8* pu8Rgb;
    U16 u16Width;
    U16 u16Height;
    int s32Quality;
    U32 u32Pad;
    unsigned char* pu8Out;
    unsigned long ulLen;
};

/* Everything that may longjmp back into Encode. */
void EncodeBody(struct jpeg_compress_struct* pstCinfo, EncodeJob* pstJob)
{
    static unsigned char au8Pad[CARD_JPEG_MARKER_MAX];
    memset(au8Pad, '.', sizeof(au8Pad));
    jpeg_mem_dest(pstCinfo, &pstJob->pu8Out, &pstJob->ulLen);
    pstCinfo->image_width = pstJob->u16Width;
    pstCinfo->image_height = pstJob->u16Height;
    pstCinfo->input_components = 3;
    pstCinfo->in_color_space = JCS_RGB;
    jpeg_set_defaults(pstCinfo);
    jpeg_set_quality(pstCinfo, pstJob->s32Quality, TRUE);
    jpeg_start_compress(pstCinfo, TRUE);
    U32 u32Pad = pstJob->u32Pad;
    while (u32Pad >= CARD_JPEG_MARKER_COST) {
        U32 u32Data = u32Pad - CARD_JPEG_MARKER_COST;
        if (u32Data > CARD_JPEG_MARKER_MAX) {
            u32Data = CARD_JPEG_MARKER_MAX;
        }
        /* leave a remainder of 0 or at least one whole marker */
        const U32 u32Rest = u32Pad - CARD_JPEG_MARKER_COST - u32Data;
        if (u32Rest > 0 && u32Rest < CARD_JPEG_MARKER_COST) {
            u32Data -= CARD_JPEG_MARKER_COST - u32Rest;
        }
        jpeg_write_marker(pstCinfo, JPEG_COM, au8Pad, u32Data);
        u32Pad -= CARD_JPEG_MARKER_COST + u32Data;
    }
    const size_t sStride = (size_t)pstJob->u16Width * 3;
    while (pstCinfo->next_scanline < pstCinfo->image_height) {
        JSAMPROW pRow = const_cast<U8*>(pstJob->pu8Rgb + pstCinfo->next_scanline * sStride);
        jpeg_write_scanlines(pstCinfo, &pRow, 1);
    }
    jpeg_finish_compress(pstCinfo);
}

/* One encoding pass; *pstJob gets the malloc'ed output. The encoder reports
 * errors by longjmp, so this frame holds no C++ objects. */
int Encode(EncodeJob* pstJob)
{
    struct jpeg_compress_struct stCinfo;
    CardErr stErr;
    pstJob->pu8Out = nullptr;
    pstJob->ulLen = 0;
    stCinfo.err = jpeg_std_error(&stErr.stPub);
    stErr.stPub.error_exit = CardErrorExit;
    stErr.stPub.output_message = CardSilent;
    if (setjmp(stErr.stJmp) != 0) {
        jpeg_destroy_compress(&stCinfo);
        free(pstJob->pu8Out);
        pstJob->pu8Out = nullptr;
        return -1;
    }
    jpeg_create_compress(&stCinfo);
    EncodeBody(&stCinfo, pstJob);
    jpeg_destroy_compress(&stCinfo);
    return 0;
}

}  // namespace

void CardSizeForResolution(U8 u8Index, U16* pu16Width, U16* pu16Height)
{
    static const U16 au16Sizes[][2] = {{176, 144},   {352, 288},   {704, 576},   {1280, 720},
                                       {1920, 1080}, {1600, 1200}, {2048, 1536}, {2592, 1944},
                                       {1280, 960},  {2592, 1560}};
    const size_t sCount = sizeof(au16Sizes) / sizeof(au16Sizes[0]);
    if (u8Index < sCount) {
        *pu16Width = au16Sizes[u8Index][0];
        *pu16Height = au16Sizes[u8Index][1];
    } else {
        *pu16Width = 1280;
        *pu16Height = 720;
    }
}

int MakeTestCard(U16 u16Width, U16 u16Height, const char* ps8Stamp, U32 u32TargetBytes,
                 std::vector<U8>* pvecJpeg)
{
    if (u16Width == 0 || u16Height == 0 || ps8Stamp == nullptr || pvecJpeg == nullptr) {
        return -1;
    }
    std::vector<U8> vecRgb;
    DrawCard(u16Width, u16Height, ps8Stamp, &vecRgb);

    EncodeJob stJob = {vecRgb.data(), u16Width, u16Height, CARD_QUALITY_LIST[0], 0, nullptr, 0};
    for (const int s32Q : CARD_QUALITY_LIST) {
        free(stJob.pu8Out);
        stJob.s32Quality = s32Q;
        if (Encode(&stJob) != 0) {
            return -1;
        }
        if (u32TargetBytes == 0 || stJob.ulLen <= u32TargetBytes) {
            break;
        }
    }
    if (u32TargetBytes > stJob.ulLen) {
        /* markers do not change the coded picture, so the size grows by the pad */
        stJob.u32Pad = u32TargetBytes - (U32)stJob.ulLen;
        free(stJob.pu8Out);
        if (Encode(&stJob) != 0) {
            return -1;
        }
    }
    pvecJpeg->assign(stJob.pu8Out, stJob.pu8Out + stJob.ulLen);
    free(stJob.pu8Out);
    return 0;
}

int WriteFileAtomic(const std::string& strPath, const U8* pu8Data, size_t sLen)
{
    const std::string strTmp = strPath + ".tmp";
    /* A new file, never one opened through a name a killed run left: that
     * name may be a second link to a snapshot a client is still reading. */
    unlink(strTmp.c_str());
    const int s32Fd = open(strTmp.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (s32Fd < 0) {
        const int s32Err = errno;
        fprintf(stderr, "zozid: cannot create %s: %s\n", strTmp.c_str(), strerror(s32Err));
        return -1;
    }
    size_t sDone = 0;
    for (U32 u32Try = 0; sDone < sLen && u32Try < 10000; ++u32Try) {
        const ssize_t n = write(s32Fd, pu8Data + sDone, sLen - sDone);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        sDone += (size_t)n;
    }
    const bool bClosed = close(s32Fd) == 0;
    if (sDone != sLen || !bClosed || rename(strTmp.c_str(), strPath.c_str()) != 0) {
        const int s32Err = errno;
        fprintf(stderr, "zozid: cannot write %s: %s\n", strPath.c_str(), strerror(s32Err));
        unlink(strTmp.c_str());
        return -1;
    }
    return 0;
}
