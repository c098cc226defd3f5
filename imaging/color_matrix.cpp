// Processing settings and the colour matrices. All double-precision work
// happens here, when a setting changes; the frame path only sees the 16
// integers of fixedMatrix.
#include <cmath>
#include <cstring>

#include "imaging/band_workers.h"
#include "imaging/image_processor.h"
#include "platform/kernel/pool.h"

namespace {

void Identity(Matrix4 m) {
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) m[i][j] = i == j ? 1.0 : 0.0;
}

// H = H . X, X on the right.
void Apply(Matrix4 h, const Matrix4 x) {
    MultiplyMatrix4(h, x, h);
}

void RotateAboutRedAxis(Matrix4 x, double s, double c) {
    Identity(x);
    x[1][1] = c;
    x[1][2] = s;
    x[2][1] = -s;
    x[2][2] = c;
}

void RotateAboutGreenAxis(Matrix4 x, double s, double c) {
    Identity(x);
    x[0][0] = c;
    x[0][2] = -s;
    x[2][0] = s;
    x[2][2] = c;
}

void ShearBlueAxis(Matrix4 x, double a, double b) {
    Identity(x);
    x[0][2] = a;
    x[1][2] = b;
}

// The sensor's colour correction (rows: input R, G, B; columns: output R,
// G, B), single-precision constants widened to double. Each column sums to 1,
// so neutral grey stays grey.
constexpr float kCorrection[3][3] = {
    {1.36f, -0.25f, -0.1f}, {-0.22f, 1.4f, -0.32f}, {-0.14f, -0.15f, 1.42f}};

void FillCorrection(Matrix4 m) {
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) m[i][j] = kCorrection[i][j];
}

// Luminance weights, single-precision constants widened to double.
constexpr double kLumR = static_cast<double>(0.3086f);
constexpr double kLumG = static_cast<double>(0.6094f);
constexpr double kLumB = static_cast<double>(0.0820f);

LONG Read(const LONG* field) {
    return ReadAcquire(field);
}

// Every builder runs whole under the rebuild lock.
class RebuildGuard {
  public:
    explicit RebuildGuard(ImageProcessor* p) : p_(p) { ExAcquireFastMutex(&p_->rebuildLock); }
    ~RebuildGuard() { ExReleaseFastMutex(&p_->rebuildLock); }

  private:
    ImageProcessor* p_;
};

void Rebuild(ImageProcessor* p) {
    Matrix4& c = p->combinedMatrix;
    std::memcpy(c, p->colorCorrectionMatrix, sizeof(Matrix4));
    MultiplyMatrix4(p->contrastMatrix, c, c);
    MultiplyMatrix4(p->brightnessMatrix, c, c);
    MultiplyMatrix4(p->saturationMatrix, c, c);
    MultiplyMatrix4(p->hueMatrix, c, c);
    LONG fixed[4][4];
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) {
            double x = c[i][j] * 64.0;
            x = x < 0 ? x - 0.5 : x + 0.5;  // half away from zero
            fixed[i][j] = static_cast<LONG>(x);
        }
    KeEnterCriticalRegion();
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&p->matrixLock);
    std::memcpy(p->fixedMatrix, fixed, sizeof fixed);
    KeReleaseSpinLock(&p->matrixLock, irql);
    KeLeaveCriticalRegion();
}

}  // namespace

void MultiplyMatrix4(const Matrix4 left, const Matrix4 right, Matrix4 out) {
    double t[4][4];
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            t[i][j] =
                ((left[i][0] * right[0][j] + left[i][1] * right[1][j]) + left[i][2] * right[2][j]) +
                left[i][3] * right[3][j];
    std::memcpy(out, t, sizeof t);
}

void RebuildCombinedMatrix(ImageProcessor* p) {
    Rebuild(p);
}

ImageProcessor* CreateImageProcessor() {
    auto* p = static_cast<ImageProcessor*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(ImageProcessor), IMAGE_PROCESSOR_TAG));
    if (p == nullptr) return nullptr;
    std::memset(p, 0, sizeof *p);
    p->redGain = p->greenGain = p->blueGain = 128;
    p->bayerPhase = 0;
    p->colorEnable = 1;
    p->whiteBalance = 0;
    p->colorCorrection = 1;
    p->brightness = 255;
    p->contrast = 10;
    p->saturation = 10;
    p->hue = 0;
    InitializeImageProcessor(p);
    return p;
}

void FreeImageProcessor(ImageProcessor* p) {
    if (p == nullptr) return;
    delete p->bandWorkers;
    p->bandWorkers = nullptr;
    if (p->workBuffer != nullptr) {
        ExFreePoolWithTag(p->workBuffer, WORK_BUFFER_TAG);
        p->workBuffer = nullptr;
    }
    ExFreePoolWithTag(p, IMAGE_PROCESSOR_TAG);
}

void InitializeImageProcessor(ImageProcessor* p) {
    KeInitializeSpinLock(&p->matrixLock);
    ExInitializeFastMutex(&p->rebuildLock);
    RebuildGuard guard(p);
    Identity(p->brightnessMatrix);
    Identity(p->contrastMatrix);
    Identity(p->saturationMatrix);
    Identity(p->hueMatrix);
    Identity(p->combinedMatrix);
    Identity(p->colorCorrectionMatrix);
    FillCorrection(p->colorCorrectionMatrix);
    Rebuild(p);
}

void SetBayerPhase(ImageProcessor* p, LONG v) {
    InterlockedExchange(&p->bayerPhase, v);
}
void SetColorEnable(ImageProcessor* p, LONG v) {
    InterlockedExchange(&p->colorEnable, v);
}
void SetWhiteBalance(ImageProcessor* p, LONG v) {
    InterlockedExchange(&p->whiteBalance, v);
}
void SetRedGain(ImageProcessor* p, LONG v) {
    InterlockedExchange(&p->redGain, v);
}
void SetGreenGain(ImageProcessor* p, LONG v) {
    InterlockedExchange(&p->greenGain, v);
}
void SetBlueGain(ImageProcessor* p, LONG v) {
    InterlockedExchange(&p->blueGain, v);
}

namespace {
using Builder = void (*)(ImageProcessor*, LONG);
void SetAndRebuild(ImageProcessor* p, LONG* field, LONG v, Builder build) {
    if (Read(field) == v) return;
    InterlockedExchange(field, v);
    build(p, v);
}
}  // namespace

void SetColorCorrection(ImageProcessor* p, LONG v) {
    SetAndRebuild(p, &p->colorCorrection, v, BuildColorCorrectionMatrix);
}
void SetBrightness(ImageProcessor* p, LONG v) {
    SetAndRebuild(p, &p->brightness, v, BuildBrightnessMatrix);
}
void SetContrast(ImageProcessor* p, LONG v) {
    SetAndRebuild(p, &p->contrast, v, BuildContrastMatrix);
}
void SetSaturation(ImageProcessor* p, LONG v) {
    SetAndRebuild(p, &p->saturation, v, BuildSaturationMatrix);
}
void SetHue(ImageProcessor* p, LONG v) {
    SetAndRebuild(p, &p->hue, v, BuildHueMatrix);
}

void BuildColorCorrectionMatrix(ImageProcessor* p, LONG enable) {
    RebuildGuard guard(p);
    Identity(p->colorCorrectionMatrix);
    if (enable != 0) FillCorrection(p->colorCorrectionMatrix);
    Rebuild(p);
}

void BuildBrightnessMatrix(ImageProcessor* p, LONG value) {
    RebuildGuard guard(p);
    LONG v = value > 510 ? 510 : value;
    double c = v - 255.0;
    Identity(p->brightnessMatrix);
    p->brightnessMatrix[3][0] = c;
    p->brightnessMatrix[3][1] = c;
    p->brightnessMatrix[3][2] = c;
    Rebuild(p);
}

void BuildContrastMatrix(ImageProcessor* p, LONG value) {
    RebuildGuard guard(p);
    LONG v = value > 20 ? 20 : value;
    float k = (static_cast<float>(v) - 10.0f) * 0.1f + 1.0f;
    double kd = k;
    double d = kd * -128.0 + 128.0;
    Identity(p->contrastMatrix);
    p->contrastMatrix[0][0] = kd;
    p->contrastMatrix[1][1] = kd;
    p->contrastMatrix[2][2] = kd;
    p->contrastMatrix[3][0] = d;
    p->contrastMatrix[3][1] = d;
    p->contrastMatrix[3][2] = d;
    Rebuild(p);
}

void BuildSaturationMatrix(ImageProcessor* p, LONG value) {
    RebuildGuard guard(p);
    LONG v = value > 20 ? 20 : value;
    double s = (static_cast<float>(v) - 10.0f) * 0.1f + 1.0f;
    double t = 1.0 - s;
    Matrix4& m = p->saturationMatrix;
    m[0][0] = kLumR * t + s;
    m[0][1] = kLumR * t;
    m[0][2] = kLumR * t;
    m[1][0] = kLumG * t;
    m[1][1] = kLumG * t + s;
    m[1][2] = kLumG * t;
    m[2][0] = kLumB * t;
    m[2][1] = kLumB * t;
    m[2][2] = kLumB * t + s;
    Rebuild(p);
}

void BuildHueMatrix(ImageProcessor* p, LONG degrees) {
    RebuildGuard guard(p);
    Matrix4& h = p->hueMatrix;
    Matrix4 x;
    Identity(h);
    double r2 = std::sqrt(2.0f);
    RotateAboutRedAxis(x, 1.0 / r2, 1.0 / r2);
    Apply(h, x);
    double r3 = std::sqrt(3.0f);
    RotateAboutGreenAxis(x, -1.0 / r3, r2 / r3);
    Apply(h, x);
    double lx = kLumR * h[0][0] + kLumG * h[1][0] + kLumB * h[2][0] + h[3][0];
    double ly = kLumR * h[0][1] + kLumG * h[1][1] + kLumB * h[2][1] + h[3][1];
    double lz = kLumR * h[0][2] + kLumG * h[1][2] + kLumB * h[2][2] + h[3][2];
    double zx = lx / lz;
    double zy = ly / lz;
    ShearBlueAxis(x, zx, zy);
    Apply(h, x);
    float theta = static_cast<float>(degrees) * 3.1415927f / 180.0f;
    double sn = std::sin(theta);
    double cs = std::cos(theta);
    Identity(x);
    x[0][0] = cs;
    x[0][1] = sn;
    x[1][0] = -sn;
    x[1][1] = cs;
    Apply(h, x);
    ShearBlueAxis(x, -zx, -zy);
    Apply(h, x);
    RotateAboutGreenAxis(x, 1.0 / r3, r2 / r3);
    Apply(h, x);
    RotateAboutRedAxis(x, -1.0 / r2, 1.0 / r2);
    Apply(h, x);
    Rebuild(p);
}
