// The kernels once more, written for any vector width with Highway and
// compiled for each instruction set it targets (AVX-512BW, AVX2, SSE4 on
// x86; NEON on ARM); the processor's best is chosen at run time. They follow
// the SSE2 kernels step for step, so every set gives the scalar reference's
// bytes: 2N pixels a step as two vectors of N 16-bit lanes, the even columns
// and the odd, each vector one site type, loaded from unaligned byte loads.
// Near a row's right end, where a full-width load would reach past the
// working buffer's margin, the steps narrow to 16 pixels, which the margin
// is made for.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "imaging/kernels_wide.cpp"
// AVX3_DL adds nothing these kernels use; SSSE3 is below the SSE2 kernels'
// speed class; neither is worth its compile time.
#ifndef HWY_DISABLED_TARGETS
#define HWY_DISABLED_TARGETS (HWY_AVX3_DL | HWY_SSSE3)
#endif
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <cstring>

#include "imaging/bayer.h"
#include "imaging/kernels.h"

HWY_BEFORE_NAMESPACE();
namespace norvik_kernels {
namespace HWY_NAMESPACE {
#if HWY_TARGET != HWY_SCALAR
namespace hn = hwy::HWY_NAMESPACE;

template <class D>
struct Taps {
    hn::Vec<D> c, n, s, w, e, n2, s2, w2, e2, nw, ne, sw, se;
};

template <class D>
HWY_INLINE void Load(D d, const UCHAR* p, hn::Vec<D>& even, hn::Vec<D>& odd) {
    const hn::RebindToUnsigned<D> du;
    const hn::Repartition<uint8_t, D> d8;
    const auto v = hn::BitCast(du, hn::LoadU(d8, p));
    even = hn::BitCast(d, hn::And(v, hn::Set(du, 0x00FF)));
    odd = hn::BitCast(d, hn::ShiftRight<8>(v));
}

template <class D>
HWY_INLINE void LoadBlock(D d, const UCHAR* p, ptrdiff_t s, Taps<D>& E, Taps<D>& O) {
    Load(d, p, E.c, O.c);
    Load(d, p - 1, E.w, O.w);
    Load(d, p + 1, E.e, O.e);
    Load(d, p - 2, E.w2, O.w2);
    Load(d, p + 2, E.e2, O.e2);
    Load(d, p - s, E.n, O.n);
    Load(d, p + s, E.s, O.s);
    Load(d, p - s - 1, E.nw, O.nw);
    Load(d, p - s + 1, E.ne, O.ne);
    Load(d, p + s - 1, E.sw, O.sw);
    Load(d, p + s + 1, E.se, O.se);
    Load(d, p - 2 * s, E.n2, O.n2);
    Load(d, p + 2 * s, E.s2, O.s2);
}

template <class V>
HWY_INLINE V Round8(V sum) {
    const hn::DFromV<V> d;
    sum = hn::Max(sum, hn::Zero(d));
    return hn::Min(hn::ShiftRight<3>(hn::Add(sum, hn::Set(d, 4))), hn::Set(d, 255));
}
template <class V>
HWY_INLINE V Round16(V sum) {
    const hn::DFromV<V> d;
    sum = hn::Max(sum, hn::Zero(d));
    return hn::Min(hn::ShiftRight<4>(hn::Add(sum, hn::Set(d, 8))), hn::Set(d, 255));
}

template <class D>
HWY_INLINE hn::Vec<D> Cross(const Taps<D>& t) {
    using hn::Add;
    return hn::Sub(Add(hn::ShiftLeft<2>(t.c), hn::ShiftLeft<1>(Add(Add(t.n, t.s), Add(t.w, t.e)))),
                   Add(Add(t.n2, t.s2), Add(t.w2, t.e2)));
}
template <class D>
HWY_INLINE hn::Vec<D> Diagonals(const Taps<D>& t) {
    return hn::Add(hn::Add(t.nw, t.ne), hn::Add(t.sw, t.se));
}
template <class V>
HWY_INLINE V Ten(V c) {
    return hn::Add(hn::ShiftLeft<3>(c), hn::ShiftLeft<1>(c));
}
template <class D>
HWY_INLINE hn::Vec<D> Horizontal(const Taps<D>& t) {
    auto sum = hn::Add(Ten(t.c), hn::ShiftLeft<3>(hn::Add(t.w, t.e)));
    sum = hn::Sub(sum, hn::ShiftLeft<1>(hn::Add(hn::Add(t.w2, t.e2), Diagonals(t))));
    return hn::Add(sum, hn::Add(t.n2, t.s2));
}
template <class D>
HWY_INLINE hn::Vec<D> Vertical(const Taps<D>& t) {
    auto sum = hn::Add(Ten(t.c), hn::ShiftLeft<3>(hn::Add(t.n, t.s)));
    sum = hn::Sub(sum, hn::ShiftLeft<1>(hn::Add(hn::Add(t.n2, t.s2), Diagonals(t))));
    return hn::Add(sum, hn::Add(t.w2, t.e2));
}
template <class D>
HWY_INLINE hn::Vec<D> Diagonal(const Taps<D>& t) {
    const auto far = hn::Add(hn::Add(t.n2, t.s2), hn::Add(t.w2, t.e2));
    const auto sum = hn::Add(hn::Add(hn::ShiftLeft<3>(t.c), hn::ShiftLeft<2>(t.c)),
                             hn::ShiftLeft<2>(Diagonals(t)));
    return hn::Sub(sum, hn::Add(far, hn::ShiftLeft<1>(far)));
}

template <class D>
struct Rgb {
    hn::Vec<D> r, g, b;
};

template <Site S, class D>
HWY_INLINE Rgb<D> Interpolate(const Taps<D>& t) {
    if constexpr (S == Site::Red) return {t.c, Round8(Cross(t)), Round16(Diagonal(t))};
    if constexpr (S == Site::Blue) return {Round16(Diagonal(t)), Round8(Cross(t)), t.c};
    if constexpr (S == Site::GreenRedRow)
        return {Round16(Horizontal(t)), t.c, Round16(Vertical(t))};
    if constexpr (S == Site::GreenBlueRow)
        return {Round16(Vertical(t)), t.c, Round16(Horizontal(t))};
}

// min(255, (v * g) >> 7); a product of 65536 or more gives 255.
template <class D>
HWY_INLINE hn::Vec<D> Gain(D d, hn::Vec<D> v, uint16_t gain) {
    const hn::RebindToUnsigned<D> du;
    const auto vu = hn::BitCast(du, v), g = hn::Set(du, gain);
    const auto fits = hn::Eq(hn::MulHigh(vu, g), hn::Zero(du));
    const auto r = hn::IfThenElse(fits, hn::ShiftRight<7>(hn::Mul(vu, g)), hn::Set(du, 255));
    return hn::Min(hn::BitCast(d, r), hn::Set(d, 255));
}

struct Gains {
    uint16_t r, g, b;
    explicit Gains(const ImageProcessor* ip)
        : r(static_cast<uint16_t>(GainOf(ip->frameRedGain))),
          g(static_cast<uint16_t>(GainOf(ip->frameGreenGain))),
          b(static_cast<uint16_t>(GainOf(ip->frameBlueGain))) {}
    template <class D>
    HWY_INLINE Rgb<D> Apply(D d, const Rgb<D>& v) const {
        return {Gain(d, v.r, r), Gain(d, v.g, g), Gain(d, v.b, b)};
    }
};

// Writes 2N pixels, blue-green-red-255, from the channel lanes of the even
// and odd columns; only `count` of them reach the output.
template <class D>
HWY_INLINE void Store(D d, const Rgb<D>& e, const Rgb<D>& o, UCHAR* out, int count) {
    const hn::RebindToUnsigned<D> du;
    const hn::Repartition<uint8_t, D> d8;
    auto bytes = [&](hn::Vec<D> even, hn::Vec<D> odd) {
        return hn::BitCast(d8,
                           hn::Or(hn::BitCast(du, even), hn::ShiftLeft<8>(hn::BitCast(du, odd))));
    };
    const auto b = bytes(e.b, o.b), g = bytes(e.g, o.g), r = bytes(e.r, o.r), a = hn::Set(d8, 0xFF);
    const int n = static_cast<int>(hn::Lanes(d8));
    if (count >= n) {
        hn::StoreInterleaved4(b, g, r, a, d8, out);
    } else {
        alignas(64) UCHAR block[4 * HWY_MAX_BYTES];
        hn::StoreInterleaved4(b, g, r, a, d8, block);
        std::memcpy(out, block, static_cast<size_t>(count) * 4);
    }
    (void)d;
}

// Walks the image: full-width steps where every load stays inside the
// working buffer, 16-pixel steps after them.
template <BayerPattern P, class Family>
void Run(ImageProcessor* ip, Family& f) {
    const hn::ScalableTag<int16_t> d;
    const hn::CappedTag<int16_t, 8> d16px;
    const ptrdiff_t s = ip->workStride;
    const int width = ip->workWidth;
    const int wide = static_cast<int>(2 * hn::Lanes(d));
    for (int r = 0; r < ip->workHeight; ++r) {
        const UCHAR* row = ip->workOrigin + r * s;
        int c0 = 0;
        auto step = [&](auto dv, int pixels) {
            Taps<decltype(dv)> E, O;
            LoadBlock(dv, row + c0, s, E, O);
            if (r & 1)
                f.Step(dv, Interpolate<SiteOf(P, 1, 0)>(E), Interpolate<SiteOf(P, 1, 1)>(O),
                       width - c0);
            else
                f.Step(dv, Interpolate<SiteOf(P, 0, 0)>(E), Interpolate<SiteOf(P, 0, 1)>(O),
                       width - c0);
            c0 += pixels;
        };
        // A step at c0 reads columns c0 - 2 to c0 + 2N + 1, and the last
        // buffer row ends 6 columns short of its stride.
        while (c0 < width && c0 + wide + 7 <= s) step(d, wide);
        while (c0 < width) step(d16px, 16);
    }
}

// The colour matrix: 16-bit sums when no sum of the frame's matrix can pass
// 16 bits, else exact 32-bit sums, as the SSE2 kernels do.
template <bool Exact>
class ColorFamily {
  public:
    explicit ColorFamily(ImageProcessor* ip) : gains_(ip), out_(ip->outputCursor) {
        for (int i = 0; i < 4; ++i)
            for (int j = 0; j < 3; ++j) {
                const LONG m = ip->frameMatrix[i][j];
                mag_[i][j] = static_cast<uint16_t>(
                    static_cast<uint64_t>(m < 0 ? -static_cast<int64_t>(m) : m) & 0xFFFF);
                positive_[i][j] = ip->framePositive[i][j] != 0;
            }
    }

    template <class D>
    HWY_INLINE void Step(D d, const Rgb<D>& even, const Rgb<D>& odd, int left) {
        Store(d, Matrix(d, gains_.Apply(d, even)), Matrix(d, gains_.Apply(d, odd)), out_, left);
        const int n = static_cast<int>(2 * hn::Lanes(d));
        out_ += 4 * (left < n ? left : n);
    }

  private:
    template <class D>
    HWY_INLINE Rgb<D> Matrix(D d, const Rgb<D>& v) const {
        const hn::RebindToUnsigned<D> du;
        const hn::Vec<D> in[3] = {v.r, v.g, v.b};
        hn::Vec<D> result[3];
        for (int j = 0; j < 3; ++j) {
            if constexpr (Exact) {
                const hn::Half<decltype(du)> duh;
                const hn::Repartition<uint32_t, decltype(du)> du32;
                const hn::RebindToSigned<decltype(du32)> di32;
                const hn::Half<D> dh;
                auto half = [&](bool upper) {
                    auto pos = hn::Set(du32, positive_[3][j] ? mag_[3][j] : 0u);
                    auto neg = hn::Set(du32, positive_[3][j] ? 0u : mag_[3][j]);
                    for (int i = 0; i < 3; ++i) {
                        const auto u = hn::BitCast(du, in[i]);
                        const auto wide = hn::PromoteTo(
                            du32, upper ? hn::UpperHalf(duh, u) : hn::LowerHalf(duh, u));
                        const auto p = hn::Mul(wide, hn::Set(du32, mag_[i][j]));
                        if (positive_[i][j])
                            pos = hn::Add(pos, p);
                        else
                            neg = hn::Add(neg, p);
                    }
                    auto o = hn::Sub(hn::BitCast(di32, hn::ShiftRight<6>(pos)),
                                     hn::BitCast(di32, hn::ShiftRight<6>(neg)));
                    o = hn::Min(hn::Max(o, hn::Zero(di32)), hn::Set(di32, 255));
                    return hn::DemoteTo(dh, o);
                };
                result[j] = hn::Combine(d, half(true), half(false));
            } else {
                auto pos = hn::Set(du, positive_[3][j] ? mag_[3][j] : uint16_t{0});
                auto neg = hn::Set(du, positive_[3][j] ? uint16_t{0} : mag_[3][j]);
                for (int i = 0; i < 3; ++i) {
                    const auto t = hn::Mul(hn::BitCast(du, in[i]), hn::Set(du, mag_[i][j]));
                    if (positive_[i][j])
                        pos = hn::Add(pos, t);
                    else
                        neg = hn::Add(neg, t);
                }
                const auto o = hn::Sub(hn::BitCast(d, hn::ShiftRight<6>(pos)),
                                       hn::BitCast(d, hn::ShiftRight<6>(neg)));
                result[j] = hn::Min(hn::Max(o, hn::Zero(d)), hn::Set(d, 255));
            }
        }
        return {result[0], result[1], result[2]};
    }

    Gains gains_;
    UCHAR* out_;
    uint16_t mag_[4][3];
    bool positive_[4][3];
};

class GreyFamily {
  public:
    explicit GreyFamily(ImageProcessor* ip) : gains_(ip), out_(ip->outputCursor) {}

    template <class D>
    HWY_INLINE void Step(D d, const Rgb<D>& even, const Rgb<D>& odd, int left) {
        const auto ye = Luma(d, gains_.Apply(d, even)), yo = Luma(d, gains_.Apply(d, odd));
        Store(d, Rgb<D>{ye, ye, ye}, Rgb<D>{yo, yo, yo}, out_, left);
        const int n = static_cast<int>(2 * hn::Lanes(d));
        out_ += 4 * (left < n ? left : n);
    }

  private:
    template <class D>
    static HWY_INLINE hn::Vec<D> Luma(D d, const Rgb<D>& v) {
        const hn::RebindToUnsigned<D> du;
        auto part = [&](hn::Vec<D> c, uint16_t weight) {
            return hn::ShiftRight<8>(hn::Mul(hn::BitCast(du, c), hn::Set(du, weight)));
        };
        return hn::BitCast(d, hn::Add(hn::Add(part(v.r, 77), part(v.g, 150)), part(v.b, 29)));
    }
    Gains gains_;
    UCHAR* out_;
};

class EstimateFamily {
  public:
    template <class D>
    HWY_INLINE void Step(D d, const Rgb<D>& even, const Rgb<D>& odd, int left) {
        const int n = static_cast<int>(2 * hn::Lanes(d));
        if (left >= n) {
            Accumulate(d, even, odd);
            return;
        }
        // Only the image's own columns count, never the margin beyond them.
        const auto twice = hn::ShiftLeft<1>(hn::Iota(d, 0));
        const auto limit = hn::Set(d, static_cast<int16_t>(left));
        const auto me = hn::Lt(twice, limit), mo = hn::Lt(hn::Add(twice, hn::Set(d, 1)), limit);
        Accumulate(d,
                   Rgb<D>{hn::IfThenElseZero(me, even.r), hn::IfThenElseZero(me, even.g),
                          hn::IfThenElseZero(me, even.b)},
                   Rgb<D>{hn::IfThenElseZero(mo, odd.r), hn::IfThenElseZero(mo, odd.g),
                          hn::IfThenElseZero(mo, odd.b)});
    }

    ULONG sums[3] = {0, 0, 0};

  private:
    template <class D>
    HWY_INLINE void Accumulate(D d, const Rgb<D>& e, const Rgb<D>& o) {
        const hn::RebindToUnsigned<D> du;
        const hn::Half<decltype(du)> duh;
        const hn::Repartition<uint32_t, decltype(du)> du32;
        auto add = [&](ULONG& total, hn::Vec<D> a, hn::Vec<D> b) {
            const auto u = hn::BitCast(du, hn::Add(a, b));
            const auto both = hn::Add(hn::PromoteTo(du32, hn::LowerHalf(duh, u)),
                                      hn::PromoteTo(du32, hn::UpperHalf(duh, u)));
            total += hn::GetLane(hn::SumOfLanes(du32, both));
        };
        add(sums[0], e.r, o.r);
        add(sums[1], e.g, o.g);
        add(sums[2], e.b, o.b);
        (void)d;
    }
};

template <BayerPattern P>
void ConvertColor(ImageProcessor* ip) {
    if (ColorSumsFit16Bits(ip)) {
        ColorFamily<false> f(ip);
        Run<P>(ip, f);
    } else {
        ColorFamily<true> f(ip);
        Run<P>(ip, f);
    }
}

template <BayerPattern P>
void ConvertGrey(ImageProcessor* ip) {
    GreyFamily f(ip);
    Run<P>(ip, f);
}

template <BayerPattern P>
void EstimateWhiteBalance(ImageProcessor* ip) {
    EstimateFamily f;
    Run<P>(ip, f);
    for (int c = 0; c < 3; ++c) ip->frameSums[c] = f.sums[c];
}

const KernelSet* WideKernels() {
    static const KernelSet set = {
        hwy::TargetName(HWY_TARGET),
        {ConvertColor<GRBG>, ConvertColor<BGGR>, ConvertColor<RGGB>, ConvertColor<GBRG>},
        {ConvertGrey<GRBG>, ConvertGrey<BGGR>, ConvertGrey<RGGB>, ConvertGrey<GBRG>},
        {EstimateWhiteBalance<GRBG>, EstimateWhiteBalance<BGGR>, EstimateWhiteBalance<RGGB>,
         EstimateWhiteBalance<GBRG>},
    };
    return &set;
}
#else
// One lane a vector gains nothing over the scalar reference.
const KernelSet* WideKernels() {
    return nullptr;
}
#endif
}  // namespace HWY_NAMESPACE
}  // namespace norvik_kernels
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
#include <mutex>
#include <vector>

namespace norvik_kernels {
HWY_EXPORT(WideKernels);
}  // namespace norvik_kernels

// Each target's set, best first, found once by pointing Highway's dispatch
// at each target this processor supports in turn.
const std::vector<const KernelSet*>& WideKernelSets() {
    // Never destroyed: a conversion may still run while the program exits.
    static const auto* sets = new std::vector<const KernelSet*>([] {
        std::vector<const KernelSet*> found;
        for (int64_t target : hwy::SupportedAndGeneratedTargets()) {
            hwy::SetSupportedTargetsForTest(target);
            const KernelSet* set = HWY_DYNAMIC_DISPATCH(norvik_kernels::WideKernels)();
            if (set != nullptr) found.push_back(set);
        }
        hwy::SetSupportedTargetsForTest(0);
        return found;
    }());
    return *sets;
}
#endif
