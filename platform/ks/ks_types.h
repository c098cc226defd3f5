// Published AVStream format records, laid out as the platform lays them out.
#pragma once

#include "platform/kernel/nt_types.h"

struct RECT {
    LONG left;
    LONG top;
    LONG right;
    LONG bottom;
};
struct SIZE {
    LONG cx;
    LONG cy;
};

union KSDATAFORMAT {
    struct {
        ULONG FormatSize;
        ULONG Flags;
        ULONG SampleSize;
        ULONG Reserved;
        GUID MajorFormat;
        GUID SubFormat;
        GUID Specifier;
    };
    LONGLONG Alignment;
};
using KSDATARANGE = KSDATAFORMAT;
using PKSDATAFORMAT = KSDATAFORMAT*;
using PKSDATARANGE = KSDATARANGE*;
static_assert(sizeof(KSDATAFORMAT) == 64);

struct KS_BITMAPINFOHEADER {
    DWORD biSize;
    LONG biWidth;
    LONG biHeight;
    WORD biPlanes;
    WORD biBitCount;
    DWORD biCompression;
    DWORD biSizeImage;
    LONG biXPelsPerMeter;
    LONG biYPelsPerMeter;
    DWORD biClrUsed;
    DWORD biClrImportant;
};
static_assert(sizeof(KS_BITMAPINFOHEADER) == 40);

struct KS_VIDEOINFOHEADER {
    RECT rcSource;
    RECT rcTarget;
    DWORD dwBitRate;
    DWORD dwBitErrorRate;
    REFERENCE_TIME AvgTimePerFrame;
    KS_BITMAPINFOHEADER bmiHeader;
};
static_assert(sizeof(KS_VIDEOINFOHEADER) == 88);
static_assert(offsetof(KS_VIDEOINFOHEADER, AvgTimePerFrame) == 40);
static_assert(offsetof(KS_VIDEOINFOHEADER, bmiHeader) == 48);

struct KS_VIDEO_STREAM_CONFIG_CAPS {
    GUID guid;
    ULONG VideoStandard;
    SIZE InputSize;
    SIZE MinCroppingSize;
    SIZE MaxCroppingSize;
    int CropGranularityX;
    int CropGranularityY;
    int CropAlignX;
    int CropAlignY;
    SIZE MinOutputSize;
    SIZE MaxOutputSize;
    int OutputGranularityX;
    int OutputGranularityY;
    int StretchTapsX;
    int StretchTapsY;
    int ShrinkTapsX;
    int ShrinkTapsY;
    LONGLONG MinFrameInterval;
    LONGLONG MaxFrameInterval;
    LONG MinBitsPerSecond;
    LONG MaxBitsPerSecond;
};
static_assert(sizeof(KS_VIDEO_STREAM_CONFIG_CAPS) == 128);
static_assert(offsetof(KS_VIDEO_STREAM_CONFIG_CAPS, MinFrameInterval) == 104);

struct KS_DATARANGE_VIDEO {
    KSDATARANGE DataRange;
    BOOL bFixedSizeSamples;
    BOOL bTemporalCompression;
    DWORD StreamDescriptionFlags;
    DWORD MemoryAllocationFlags;
    KS_VIDEO_STREAM_CONFIG_CAPS ConfigCaps;
    KS_VIDEOINFOHEADER VideoInfoHeader;
};
static_assert(sizeof(KS_DATARANGE_VIDEO) == 296);
static_assert(offsetof(KS_DATARANGE_VIDEO, ConfigCaps) == 80);
static_assert(offsetof(KS_DATARANGE_VIDEO, VideoInfoHeader) == 208);

// A format as a client hands it to a pin: the data format followed by the
// video header.
struct KS_DATAFORMAT_VIDEOINFOHEADER {
    KSDATAFORMAT DataFormat;
    KS_VIDEOINFOHEADER VideoInfoHeader;
};
static_assert(sizeof(KS_DATAFORMAT_VIDEOINFOHEADER) == 152);

constexpr DWORD KS_BI_RGB = 0;

constexpr GUID KSDATAFORMAT_TYPE_VIDEO = {
    0x73646976, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
constexpr GUID KSDATAFORMAT_SUBTYPE_RGB32 = {
    0xE436EB7E, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
constexpr GUID KSDATAFORMAT_SPECIFIER_VIDEOINFO = {
    0x05589F80, 0xC356, 0x11CE, {0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A}};
constexpr GUID KSNAME_Filter = {
    0x9B365890, 0x165F, 0x11D0, {0xA1, 0x95, 0x00, 0x20, 0xAF, 0xD1, 0x56, 0xE4}};
constexpr GUID KSCATEGORY_VIDEO = {
    0x6994AD05, 0x93EF, 0x11D0, {0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
constexpr GUID KSCATEGORY_CAPTURE = {
    0x65E8773D, 0x8F56, 0x11D0, {0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
constexpr GUID PINNAME_VIDEO_CAPTURE = {
    0xFB6C4281, 0x0353, 0x11D1, {0x90, 0x5F, 0x00, 0x00, 0xC0, 0xCC, 0x16, 0xBA}};
constexpr GUID KSMEMORY_TYPE_KERNEL_NONPAGED = {
    0x4A6D5FC4, 0x7895, 0x11D1, {0xB0, 0x69, 0x00, 0xA0, 0xC9, 0x06, 0x28, 0x02}};
