// Bayer patterns and the shared arithmetic of the conversion kernels: which
// colour each site carries, the white-balance gains and the estimate's
// gains from the channel sums.
#pragma once

#include "platform/kernel/nt_types.h"

// What a pixel site carries. A green site is named after the colour of its
// left and right neighbours.
enum class Site { Red, Blue, GreenRedRow, GreenBlueRow };

enum BayerPattern { GRBG = 0, BGGR = 1, RGGB = 2, GBRG = 3 };

// The pattern a bayerPhase selects: 0 GRBG, 1 BGGR, 2 RGGB, any other GBRG.
constexpr BayerPattern PatternForPhase(LONG phase) {
    return phase == 0 ? GRBG : phase == 1 ? BGGR : phase == 2 ? RGGB : GBRG;
}

// Site at (row parity, column parity) of a pattern.
constexpr Site SiteOf(BayerPattern pattern, int rowParity, int colParity) {
    constexpr Site table[4][2][2] = {
        {{Site::GreenRedRow, Site::Red}, {Site::Blue, Site::GreenBlueRow}},  // GRBG
        {{Site::Blue, Site::GreenBlueRow}, {Site::GreenRedRow, Site::Red}},  // BGGR
        {{Site::Red, Site::GreenRedRow}, {Site::GreenBlueRow, Site::Blue}},  // RGGB
        {{Site::GreenBlueRow, Site::Blue}, {Site::Red, Site::GreenRedRow}},  // GBRG
    };
    return table[pattern][rowParity][colParity];
}

// A gain is the low 16 bits of its field, unsigned; 128 is 1.0.
inline int GainOf(LONG field) {
    return static_cast<int>(static_cast<ULONG>(field) & 0xFFFF);
}

// Gains from the channel sums of one frame. A channel whose sum is 0 (a black
// frame, say) would divide by zero: the gains are then left as they are.
void WhiteBalanceFromSums(ULONG sumR, ULONG sumG, ULONG sumB, LONG* red, LONG* green, LONG* blue);

struct ImageProcessor;
// True when no colour-matrix sum of the frame can pass 16 bits: for every
// output channel, 255 times the magnitudes of its three input weights plus
// its offset fits. The vector kernels then sum in 16-bit lanes.
bool ColorSumsFit16Bits(const ImageProcessor* ip);
