// SSE2 kernels: 16 pixels a step as two vectors of eight 16-bit lanes, one
// for the even columns and one for the odd, so each vector holds a single
// site type. One unaligned 16-byte load at a column offset yields both: its
// low bytes are the even-column neighbours at that offset and its high bytes
// the odd-column ones. Thirteen loads give the whole 5 x 5 neighbourhood of
// the 16 pixels; the working buffer's borders and margin make every load
// valid, so there is no bounds test and no per-pixel branch.
#include <emmintrin.h>

#include <cstring>

#include "imaging/bayer.h"
#include "imaging/kernels.h"

namespace {

struct Taps {
    __m128i c, n, s, w, e, n2, s2, w2, e2, nw, ne, sw, se;
};

inline void Load(const UCHAR* p, __m128i& even, __m128i& odd) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    even = _mm_and_si128(v, _mm_set1_epi16(0x00FF));
    odd = _mm_srli_epi16(v, 8);
}

// p points at image column c0 of the row being converted.
inline void LoadBlock(const UCHAR* p, ptrdiff_t s, Taps& E, Taps& O) {
    Load(p, E.c, O.c);
    Load(p - 1, E.w, O.w);
    Load(p + 1, E.e, O.e);
    Load(p - 2, E.w2, O.w2);
    Load(p + 2, E.e2, O.e2);
    Load(p - s, E.n, O.n);
    Load(p + s, E.s, O.s);
    Load(p - s - 1, E.nw, O.nw);
    Load(p - s + 1, E.ne, O.ne);
    Load(p + s - 1, E.sw, O.sw);
    Load(p + s + 1, E.se, O.se);
    Load(p - 2 * s, E.n2, O.n2);
    Load(p + 2 * s, E.s2, O.s2);
}

inline __m128i Add(__m128i a, __m128i b) {
    return _mm_add_epi16(a, b);
}
inline __m128i Sub(__m128i a, __m128i b) {
    return _mm_sub_epi16(a, b);
}
inline __m128i Shl(__m128i a, int n) {
    return _mm_slli_epi16(a, n);
}
inline __m128i C255() {
    return _mm_set1_epi16(255);
}

inline __m128i Round8(__m128i sum) {
    sum = _mm_max_epi16(sum, _mm_setzero_si128());
    return _mm_min_epi16(_mm_srli_epi16(Add(sum, _mm_set1_epi16(4)), 3), C255());
}
inline __m128i Round16(__m128i sum) {
    sum = _mm_max_epi16(sum, _mm_setzero_si128());
    return _mm_min_epi16(_mm_srli_epi16(Add(sum, _mm_set1_epi16(8)), 4), C255());
}

inline __m128i Cross(const Taps& t) {
    return Sub(Add(Shl(t.c, 2), Shl(Add(Add(t.n, t.s), Add(t.w, t.e)), 1)),
               Add(Add(t.n2, t.s2), Add(t.w2, t.e2)));
}
inline __m128i Diagonals(const Taps& t) {
    return Add(Add(t.nw, t.ne), Add(t.sw, t.se));
}
inline __m128i Ten(__m128i c) {
    return Add(Shl(c, 3), Shl(c, 1));
}
inline __m128i Horizontal(const Taps& t) {
    __m128i sum = Add(Ten(t.c), Shl(Add(t.w, t.e), 3));
    sum = Sub(sum, Shl(Add(Add(t.w2, t.e2), Diagonals(t)), 1));
    return Add(sum, Add(t.n2, t.s2));
}
inline __m128i Vertical(const Taps& t) {
    __m128i sum = Add(Ten(t.c), Shl(Add(t.n, t.s), 3));
    sum = Sub(sum, Shl(Add(Add(t.n2, t.s2), Diagonals(t)), 1));
    return Add(sum, Add(t.w2, t.e2));
}
inline __m128i Diagonal(const Taps& t) {
    __m128i far = Add(Add(t.n2, t.s2), Add(t.w2, t.e2));
    __m128i sum = Add(Add(Shl(t.c, 3), Shl(t.c, 2)), Shl(Diagonals(t), 2));
    return Sub(sum, Add(far, Shl(far, 1)));
}

struct Rgb {
    __m128i r, g, b;
};

template <Site S>
inline Rgb Interpolate(const Taps& t) {
    if constexpr (S == Site::Red) return {t.c, Round8(Cross(t)), Round16(Diagonal(t))};
    if constexpr (S == Site::Blue) return {Round16(Diagonal(t)), Round8(Cross(t)), t.c};
    if constexpr (S == Site::GreenRedRow)
        return {Round16(Horizontal(t)), t.c, Round16(Vertical(t))};
    if constexpr (S == Site::GreenBlueRow)
        return {Round16(Vertical(t)), t.c, Round16(Horizontal(t))};
}

// min(255, (v * g) >> 7); a product of 65536 or more gives 255.
inline __m128i Gain(__m128i v, __m128i g) {
    __m128i lo = _mm_mullo_epi16(v, g);
    __m128i fits = _mm_cmpeq_epi16(_mm_mulhi_epu16(v, g), _mm_setzero_si128());
    __m128i r =
        _mm_or_si128(_mm_and_si128(_mm_srli_epi16(lo, 7), fits), _mm_andnot_si128(fits, C255()));
    return _mm_min_epi16(r, C255());
}

// Writes 16 pixels, blue-green-red-255, from the 16-bit channel lanes of
// the even and odd columns; only `count` of them reach the output.
inline void Store(const Rgb& e, const Rgb& o, UCHAR* out, int count) {
    __m128i b = _mm_or_si128(e.b, _mm_slli_epi16(o.b, 8));
    __m128i g = _mm_or_si128(e.g, _mm_slli_epi16(o.g, 8));
    __m128i r = _mm_or_si128(e.r, _mm_slli_epi16(o.r, 8));
    __m128i a = _mm_set1_epi8(static_cast<char>(0xFF));
    __m128i bgLo = _mm_unpacklo_epi8(b, g), bgHi = _mm_unpackhi_epi8(b, g);
    __m128i raLo = _mm_unpacklo_epi8(r, a), raHi = _mm_unpackhi_epi8(r, a);
    __m128i px[4] = {_mm_unpacklo_epi16(bgLo, raLo), _mm_unpackhi_epi16(bgLo, raLo),
                     _mm_unpacklo_epi16(bgHi, raHi), _mm_unpackhi_epi16(bgHi, raHi)};
    if (count >= 16) {
        for (int i = 0; i < 4; ++i) _mm_storeu_si128(reinterpret_cast<__m128i*>(out) + i, px[i]);
    } else {
        alignas(16) UCHAR block[64];
        for (int i = 0; i < 4; ++i) _mm_store_si128(reinterpret_cast<__m128i*>(block) + i, px[i]);
        std::memcpy(out, block, static_cast<size_t>(count) * 4);
    }
}

// Walks the image in 16-pixel steps; the family sees each step's colours.
template <BayerPattern P, class Family>
void Run(ImageProcessor* ip, Family& f) {
    const ptrdiff_t s = ip->workStride;
    const int width = ip->workWidth;
    for (int r = 0; r < ip->workHeight; ++r) {
        const UCHAR* row = ip->workOrigin + r * s;
        for (int c0 = 0; c0 < width; c0 += 16) {
            Taps E, O;
            LoadBlock(row + c0, s, E, O);
            if (r & 1)
                f.Step(Interpolate<SiteOf(P, 1, 0)>(E), Interpolate<SiteOf(P, 1, 1)>(O),
                       width - c0);
            else
                f.Step(Interpolate<SiteOf(P, 0, 0)>(E), Interpolate<SiteOf(P, 0, 1)>(O),
                       width - c0);
        }
    }
}

struct GainVectors {
    __m128i r, g, b;
    explicit GainVectors(const ImageProcessor* ip)
        : r(_mm_set1_epi16(static_cast<short>(GainOf(ip->frameRedGain)))),
          g(_mm_set1_epi16(static_cast<short>(GainOf(ip->frameGreenGain)))),
          b(_mm_set1_epi16(static_cast<short>(GainOf(ip->frameBlueGain)))) {}
    Rgb Apply(const Rgb& v) const { return {Gain(v.r, r), Gain(v.g, g), Gain(v.b, b)}; }
};

// The colour matrix. When no sum of a frame's matrix can pass 16 bits (255
// times a column's magnitudes plus its offset fits), eight pixels a vector
// are summed in 16-bit lanes at no extra cost; otherwise the sums are formed
// exactly in 32-bit lanes, four pixels a vector, so extreme settings give
// the true value, not a wrapped or saturated one.
template <bool Exact>
class ColorFamily {
  public:
    explicit ColorFamily(ImageProcessor* ip) : gains_(ip), out_(ip->outputCursor) {
        for (int j = 0; j < 3; ++j) {
            for (int i = 0; i < 4; ++i) {
                LONG m = ip->frameMatrix[i][j];
                auto mag = static_cast<short>(
                    static_cast<unsigned>(m < 0 ? -static_cast<int64_t>(m) : m) & 0xFFFF);
                __m128i positive =
                    ip->framePositive[i][j] ? _mm_set1_epi16(-1) : _mm_setzero_si128();
                if (i == 3) {
                    const auto mag32 = static_cast<int>(static_cast<unsigned short>(mag));
                    posInit_[j] = Exact ? _mm_set1_epi32(ip->framePositive[i][j] ? mag32 : 0)
                                        : _mm_and_si128(_mm_set1_epi16(mag), positive);
                    negInit_[j] = Exact ? _mm_set1_epi32(ip->framePositive[i][j] ? 0 : mag32)
                                        : _mm_andnot_si128(positive, _mm_set1_epi16(mag));
                } else {
                    mag_[i][j] = _mm_set1_epi16(mag);
                    positive_[i][j] = positive;
                }
            }
        }
    }

    void Step(const Rgb& even, const Rgb& odd, int left) {
        Store(Matrix(gains_.Apply(even)), Matrix(gains_.Apply(odd)), out_, left);
        out_ += 4 * (left < 16 ? left : 16);
    }

  private:
    static __m128i Clamp32(__m128i o) {
        o = _mm_and_si128(o, _mm_cmpgt_epi32(o, _mm_setzero_si128()));
        __m128i over = _mm_cmpgt_epi32(o, _mm_set1_epi32(255));
        return _mm_or_si128(_mm_andnot_si128(over, o), _mm_and_si128(over, _mm_set1_epi32(255)));
    }

    Rgb Matrix(const Rgb& v) const {
        const __m128i in[3] = {v.r, v.g, v.b};
        __m128i result[3];
        for (int j = 0; j < 3; ++j) {
            if constexpr (Exact) {
                __m128i posLo = posInit_[j], posHi = posInit_[j], negLo = negInit_[j],
                        negHi = negInit_[j];
                for (int i = 0; i < 3; ++i) {
                    __m128i lo = _mm_mullo_epi16(in[i], mag_[i][j]),
                            hi = _mm_mulhi_epu16(in[i], mag_[i][j]);
                    __m128i pLo = _mm_unpacklo_epi16(lo, hi), pHi = _mm_unpackhi_epi16(lo, hi);
                    __m128i mLo = _mm_unpacklo_epi16(positive_[i][j], positive_[i][j]);
                    __m128i mHi = _mm_unpackhi_epi16(positive_[i][j], positive_[i][j]);
                    posLo = _mm_add_epi32(posLo, _mm_and_si128(pLo, mLo));
                    posHi = _mm_add_epi32(posHi, _mm_and_si128(pHi, mHi));
                    negLo = _mm_add_epi32(negLo, _mm_andnot_si128(mLo, pLo));
                    negHi = _mm_add_epi32(negHi, _mm_andnot_si128(mHi, pHi));
                }
                __m128i oLo =
                    Clamp32(_mm_sub_epi32(_mm_srli_epi32(posLo, 6), _mm_srli_epi32(negLo, 6)));
                __m128i oHi =
                    Clamp32(_mm_sub_epi32(_mm_srli_epi32(posHi, 6), _mm_srli_epi32(negHi, 6)));
                result[j] = _mm_packs_epi32(oLo, oHi);
            } else {
                __m128i pos = posInit_[j], neg = negInit_[j];
                for (int i = 0; i < 3; ++i) {
                    __m128i t = _mm_mullo_epi16(in[i], mag_[i][j]);
                    pos = _mm_add_epi16(pos, _mm_and_si128(t, positive_[i][j]));
                    neg = _mm_add_epi16(neg, _mm_andnot_si128(positive_[i][j], t));
                }
                __m128i o = _mm_sub_epi16(_mm_srli_epi16(pos, 6), _mm_srli_epi16(neg, 6));
                result[j] = _mm_min_epi16(_mm_max_epi16(o, _mm_setzero_si128()), C255());
            }
        }
        return {result[0], result[1], result[2]};
    }

    GainVectors gains_;
    UCHAR* out_;
    __m128i mag_[3][3];
    __m128i positive_[3][3];
    __m128i posInit_[3];
    __m128i negInit_[3];
};

class GreyFamily {
  public:
    explicit GreyFamily(ImageProcessor* ip) : gains_(ip), out_(ip->outputCursor) {}

    void Step(const Rgb& even, const Rgb& odd, int left) {
        __m128i ye = Luma(gains_.Apply(even)), yo = Luma(gains_.Apply(odd));
        Store({ye, ye, ye}, {yo, yo, yo}, out_, left);
        out_ += 4 * (left < 16 ? left : 16);
    }

  private:
    static __m128i Luma(const Rgb& v) {
        __m128i y = _mm_srli_epi16(_mm_mullo_epi16(v.r, _mm_set1_epi16(77)), 8);
        y = Add(y, _mm_srli_epi16(_mm_mullo_epi16(v.g, _mm_set1_epi16(150)), 8));
        return Add(y, _mm_srli_epi16(_mm_mullo_epi16(v.b, _mm_set1_epi16(29)), 8));
    }
    GainVectors gains_;
    UCHAR* out_;
};

class EstimateFamily {
  public:
    void Step(const Rgb& even, const Rgb& odd, int left) {
        if (left >= 16) {
            Accumulate(even, odd);
            return;
        }
        // Only the image's own columns count, never the margin beyond them.
        __m128i n = _mm_set1_epi16(static_cast<short>(left));
        __m128i me = _mm_cmpgt_epi16(n, _mm_setr_epi16(0, 2, 4, 6, 8, 10, 12, 14));
        __m128i mo = _mm_cmpgt_epi16(n, _mm_setr_epi16(1, 3, 5, 7, 9, 11, 13, 15));
        Accumulate(
            {_mm_and_si128(even.r, me), _mm_and_si128(even.g, me), _mm_and_si128(even.b, me)},
            {_mm_and_si128(odd.r, mo), _mm_and_si128(odd.g, mo), _mm_and_si128(odd.b, mo)});
    }

    void Finish(ImageProcessor* ip) const {
        ip->frameSums[0] = Total(r_);
        ip->frameSums[1] = Total(g_);
        ip->frameSums[2] = Total(b_);
    }

  private:
    void Accumulate(const Rgb& e, const Rgb& o) {
        const __m128i ones = _mm_set1_epi16(1);
        r_ = _mm_add_epi32(r_, _mm_madd_epi16(Add(e.r, o.r), ones));
        g_ = _mm_add_epi32(g_, _mm_madd_epi16(Add(e.g, o.g), ones));
        b_ = _mm_add_epi32(b_, _mm_madd_epi16(Add(e.b, o.b), ones));
    }
    static ULONG Total(__m128i v) {
        alignas(16) ULONG lanes[4];
        _mm_store_si128(reinterpret_cast<__m128i*>(lanes), v);
        return lanes[0] + lanes[1] + lanes[2] + lanes[3];
    }
    __m128i r_ = _mm_setzero_si128(), g_ = _mm_setzero_si128(), b_ = _mm_setzero_si128();
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
    f.Finish(ip);
}

const KernelSet kSse2 = {
    "sse2",
    {ConvertColor<GRBG>, ConvertColor<BGGR>, ConvertColor<RGGB>, ConvertColor<GBRG>},
    {ConvertGrey<GRBG>, ConvertGrey<BGGR>, ConvertGrey<RGGB>, ConvertGrey<GBRG>},
    {EstimateWhiteBalance<GRBG>, EstimateWhiteBalance<BGGR>, EstimateWhiteBalance<RGGB>,
     EstimateWhiteBalance<GBRG>},
};

}  // namespace

const KernelSet& Sse2Kernels() {
    return kSse2;
}
