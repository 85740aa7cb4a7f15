/* The minimal libax_proton's frames: the last channel attributes set give the frame's geometry. */
#include <string.h>

#include "sdk/ax_sdk.h"

enum { kBytesPerPixel = 2, kPhysicalAddress = 0x10000000 };

static AX_VIN_CHN_ATTR_T channel;

int32_t AX_VIN_SetChnAttr(uint8_t pipe, int32_t chn, const AX_VIN_CHN_ATTR_T* attr) {
    (void)pipe;
    (void)chn;
    channel = *attr;
    return 0;
}

int32_t AX_VIN_GetYuvFrame(uint8_t pipe, int32_t chn, AX_VIDEO_FRAME_INFO_T* frame,
                           int32_t timeout_ms) {
    (void)pipe;
    (void)chn;
    (void)timeout_ms;
    memset(frame, 0, sizeof *frame);
    frame->u32Width = channel.nWidth;
    frame->u32Height = channel.nHeight;
    frame->enImgFormat = channel.eImgFormat;
    frame->u32PicStride[0] = channel.nWidthStride;
    frame->u64PhyAddr[0] = kPhysicalAddress;
    frame->u64SeqNum = 1;
    frame->u32FrameSize = kBytesPerPixel * channel.nWidthStride * channel.nHeight;
    return 0;
}
