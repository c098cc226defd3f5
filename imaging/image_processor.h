// ImageProcessor: the processing settings, the colour matrices folded into
// one fixed-point matrix, the frame geometry and the bordered working buffer,
// and the operations that build them and convert a raw frame.
#pragma once

#include "platform/kernel/sync.h"

constexpr ULONG IMAGE_PROCESSOR_TAG = PoolTag("IsyR");
constexpr ULONG WORK_BUFFER_TAG = PoolTag("Nvfb");

using Matrix4 = double[4][4];

// A plain record, zero-filled at creation; fields keep the record's order.
struct ImageProcessor {
    // Per-frame working view (the kernels read these).
    PUCHAR workOrigin;
    PUCHAR outputCursor;
    LONG workStride;
    LONG frameRedGain;
    LONG frameGreenGain;
    LONG frameBlueGain;
    LONG workWidth;
    LONG workHeight;
    LONG frameMatrix[4][4];
    // Geometry and buffers.
    ULONG imageWidth;
    ULONG imageHeight;
    ULONG rowStride;
    ULONG workBufferSize;
    PUCHAR outputBuffer;
    PUCHAR workBuffer;
    // Settings: written by atomic exchange, read atomically by the frame path.
    LONG bayerPhase;
    LONG colorEnable;
    LONG whiteBalance;
    LONG redGain;
    LONG greenGain;
    LONG blueGain;
    LONG colorCorrection;
    LONG brightness;
    LONG contrast;
    LONG saturation;
    LONG hue;
    // Matrices (row-vector convention: out_j = R*M[0][j] + G*M[1][j] + B*M[2][j] + M[3][j]).
    Matrix4 colorCorrectionMatrix;
    Matrix4 brightnessMatrix;
    Matrix4 contrastMatrix;
    Matrix4 saturationMatrix;
    Matrix4 hueMatrix;
    Matrix4 combinedMatrix;
    LONG fixedMatrix[4][4];
    UCHAR framePositive[4][4];
    // The guarded region's lock: the rebuild's write of fixedMatrix and the
    // frame's copy of it exclude each other.
    KSPIN_LOCK matrixLock;
    // Serialises whole rebuilds, so settings changed from two threads cannot
    // interleave their matrix work.
    FAST_MUTEX rebuildLock;
    // A white-balance estimate's channel sums over the rows converted.
    ULONG frameSums[3];
    // Threads a frame's rows are converted on (0: one a core), and the
    // workers that run the bands beyond the first, made at the first frame
    // that uses them and kept until the processor goes.
    LONG conversionThreads;
    struct BandWorkers* bandWorkers;
};

// Threads a frame's conversion may use, 1 to 64; 0 for one a core (or what
// NORVIKCAM_THREADS says).
void SetConversionThreads(ImageProcessor* p, LONG threads);

// Allocates (tag IsyR), zero-fills, stores the defaults and initialises the
// matrices. Null when the pool is exhausted.
ImageProcessor* CreateImageProcessor();
// Frees the working buffer if one is left, then the processor.
void FreeImageProcessor(ImageProcessor* processor);

void InitializeImageProcessor(ImageProcessor* p);

void SetBayerPhase(ImageProcessor* p, LONG value);
void SetColorEnable(ImageProcessor* p, LONG value);
void SetWhiteBalance(ImageProcessor* p, LONG value);
void SetRedGain(ImageProcessor* p, LONG value);
void SetGreenGain(ImageProcessor* p, LONG value);
void SetBlueGain(ImageProcessor* p, LONG value);

void SetColorCorrection(ImageProcessor* p, LONG value);
void SetBrightness(ImageProcessor* p, LONG value);
void SetContrast(ImageProcessor* p, LONG value);
void SetSaturation(ImageProcessor* p, LONG value);
void SetHue(ImageProcessor* p, LONG value);

void BuildColorCorrectionMatrix(ImageProcessor* p, LONG enable);
void BuildBrightnessMatrix(ImageProcessor* p, LONG value);
void BuildContrastMatrix(ImageProcessor* p, LONG value);
void BuildSaturationMatrix(ImageProcessor* p, LONG value);
void BuildHueMatrix(ImageProcessor* p, LONG degrees);
void RebuildCombinedMatrix(ImageProcessor* p);
void MultiplyMatrix4(const Matrix4 left, const Matrix4 right, Matrix4 out);

void SetGeometry(ImageProcessor* p, ULONG width, ULONG height);
void AllocateWorkingBuffer(ImageProcessor* p);
void LoadRawFrame(ImageProcessor* p, const UCHAR* source, ULONG offset, ULONG pitch);
// True when a frame was converted into outputBuffer; false when a buffer is
// missing and nothing was written.
BOOLEAN ConvertFrame(ImageProcessor* p, const UCHAR* source, ULONG offset, ULONG pitch);
