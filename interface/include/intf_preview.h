// SPDX-License-Identifier: MIT
/* intf_preview.h: live-stream readers and frames, per channel and stream. */
#ifndef INTERFACE_INTF_PREVIEW_H
#define INTERFACE_INTF_PREVIEW_H

#include "intf_default.h"

/* Records of the media side; their layout belongs to the main application. */
struct FRAME_INFO_S;
struct STREAM_INFO_S;

/* IPreview: a reader per client on one channel's stream, and its frames. */
class IPreview {
public:
    IPreview() = default;
    virtual ~IPreview();

    // clang-format off
    /* readers and frames */
    INTF_DEFAULT(BOOL, RequestReader,   (S32 /*s32ChnNO*/, S32 /*s32StreamType*/, S32* /*ps32ReaderID*/), true)
    INTF_DEFAULT(S32,  ReleaseReader,   (S32 /*s32ReaderID*/),                                 -1)
    INTF_DEFAULT(S32,  GetLatestIFrame, (S32 /*s32ReaderID*/, FRAME_INFO_S* /*pstFrameInfo*/), -1)
    INTF_DEFAULT(S32,  GetRealFrame,    (S32 /*s32ReaderID*/, FRAME_INFO_S* /*pstFrameInfo*/), -1)
    INTF_DEFAULT(S32,  RequestIFrame,   (S32 /*s32ChnNO*/, S32 /*s32StreamType*/),             -1)
    INTF_DEFAULT(S32,  GetStreamInfo,   (S32 /*s32ChnNO*/, S32 /*s32StreamType*/, STREAM_INFO_S* /*pstStreamInfo*/), -1)

    /* read position of a reader */
    INTF_DEFAULT(S32, GetReadPtrInfo,   (S32 /*s32ReaderID*/, VOID* /*pPtrInfo*/), 0)
    INTF_DEFAULT(S32, SetNetReadPtrPos, (S32 /*s32ReaderID*/, S32 /*s32Pos*/),     0)
    INTF_DEFAULT(S32, ReadBFDataStart,  (S32 /*s32ReaderID*/),                     0)
    INTF_DEFAULT(S32, ReadBFDataEnd,    (S32 /*s32ReaderID*/),                     0)
    INTF_DEFAULT(S32, GetLatestIFrame,  (S32 /*s32ReaderID*/),                     0)

    /* stream state */
    INTF_DEFAULT(BOOL, StreamIsExist,    (S32 /*s32ChnNO*/, S32 /*s32StreamType*/), false)
    INTF_DEFAULT(S32,  GetStreamBufSize, (S32 /*s32ChnNO*/, S32 /*s32StreamType*/), 0)
    INTF_DEFAULT(BOOL, GetChPreviewAuth, (S32 /*s32UserID*/, S32 /*s32ChnNO*/),     true)
    // clang-format on
};

#endif /* INTERFACE_INTF_PREVIEW_H */
