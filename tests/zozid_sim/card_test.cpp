// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <setjmp.h>
#define XMD_H /* see zozid_card.cpp: keep jmorecfg.h's INT32 away from ours */
#include <jpeglib.h>

#include "zozid_card.h"

namespace {

struct DecodeErr {
    struct jpeg_error_mgr stPub;
    jmp_buf stJmp;
};
void DecodeErrorExit(j_common_ptr pstInfo)
{
    longjmp(reinterpret_cast<DecodeErr*>(pstInfo->err)->stJmp, 1);
}

/* Header of the JPEG as libjpeg reads it; false when it is not one. */
bool ReadSize(const std::vector<U8>& vecJpeg, U32* pu32W, U32* pu32H)
{
    struct jpeg_decompress_struct stInfo;
    DecodeErr stErr;
    stInfo.err = jpeg_std_error(&stErr.stPub);
    stErr.stPub.error_exit = DecodeErrorExit;
    if (setjmp(stErr.stJmp) != 0) {
        jpeg_destroy_decompress(&stInfo);
        return false;
    }
    jpeg_create_decompress(&stInfo);
    jpeg_mem_src(&stInfo, vecJpeg.data(), vecJpeg.size());
    jpeg_read_header(&stInfo, TRUE);
    jpeg_start_decompress(&stInfo);
    *pu32W = stInfo.output_width;
    *pu32H = stInfo.output_height;
    jpeg_abort_decompress(&stInfo);
    jpeg_destroy_decompress(&stInfo);
    return true;
}

}  // namespace

TEST(TestCard, SizedAfterResolution)
{
    U16 u16W = 0, u16H = 0;
    CardSizeForResolution(0, &u16W, &u16H);
    EXPECT_EQ(u16W * 10000 + u16H, 176 * 10000 + 144);
    CardSizeForResolution(9, &u16W, &u16H);
    EXPECT_EQ(u16W * 10000 + u16H, 2592 * 10000 + 1560);
    CardSizeForResolution(200, &u16W, &u16H);
    EXPECT_EQ(u16W * 10000 + u16H, 1280 * 10000 + 720);
}

TEST(TestCard, PaddedToTheRequestedSize)
{
    for (const U32 u32Target : {0u, 100000u, 100001u, 100002u, 70000u, 200003u}) {
        SCOPED_TRACE(u32Target);
        std::vector<U8> vecJpeg;
        ASSERT_EQ(MakeTestCard(1280, 720, "2024-01-02 03:04:05 1280x720", u32Target, &vecJpeg), 0);
        if (u32Target != 0) {
            EXPECT_EQ(vecJpeg.size(), u32Target);
        }
        ASSERT_GE(vecJpeg.size(), 4u);
        EXPECT_EQ(vecJpeg[0], 0xFF);
        EXPECT_EQ(vecJpeg[1], 0xD8);
        EXPECT_EQ(vecJpeg[vecJpeg.size() - 2], 0xFF);
        EXPECT_EQ(vecJpeg[vecJpeg.size() - 1], 0xD9);
        U32 u32W = 0, u32H = 0;
        ASSERT_TRUE(ReadSize(vecJpeg, &u32W, &u32H));
        EXPECT_EQ(u32W, 1280u);
        EXPECT_EQ(u32H, 720u);
    }
}

TEST(TestCard, SmallTargetLowersQuality)
{
    std::vector<U8> vecBig, vecSmall;
    ASSERT_EQ(MakeTestCard(704, 576, "12:00:00", 0, &vecBig), 0);
    const U32 u32Target = (U32)vecBig.size() * 3 / 4;
    ASSERT_EQ(MakeTestCard(704, 576, "12:00:00", u32Target, &vecSmall), 0);
    EXPECT_EQ(vecSmall.size(), u32Target); /* a lower quality, padded up again */
    EXPECT_EQ(MakeTestCard(0, 576, "x", 0, &vecSmall), -1);
}

TEST(TestCard, WrittenWholeUnderItsName)
{
    char s8Dir[] = "/tmp/zozid_card_XXXXXX";
    ASSERT_NE(mkdtemp(s8Dir), nullptr);
    const std::string strPath = std::string(s8Dir) + "/snap.jpg";
    const U8 au8Data[] = {1, 2, 3};
    ASSERT_EQ(WriteFileAtomic(strPath, au8Data, sizeof(au8Data)), 0);
    struct stat stSt;
    ASSERT_EQ(stat(strPath.c_str(), &stSt), 0);
    EXPECT_EQ(stSt.st_size, 3);
    EXPECT_NE(access((strPath + ".tmp").c_str(), F_OK), 0);
    ASSERT_EQ(WriteFileAtomic(strPath, nullptr, 0), 0);
    ASSERT_EQ(stat(strPath.c_str(), &stSt), 0);
    EXPECT_EQ(stSt.st_size, 0);
    unlink(strPath.c_str());
    EXPECT_EQ(WriteFileAtomic(std::string(s8Dir) + "/no/such/dir", au8Data, 1), -1);
    rmdir(s8Dir);
}
