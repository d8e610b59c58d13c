// Summing rows of bytes column by column, in loops the compiler turns into vector code: shared by
// the pixelation and the resampler, which both add whole rows of a band before averaging.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tilvo::rowsums {

// Rows are summed in fixed blocks so that the compiler turns the inner loops into vector code at
// any optimisation level, up to four rows per pass so that the column sums are read and written
// once per four rows.
constexpr size_t kBlock = 32;
constexpr int kMaxRowsPerPass = 4;

template <class Acc, bool kFirst, int kRows>
void AddRows(Acc* __restrict acc, const uint8_t* const* rows, size_t n) {
    const uint8_t* __restrict r0 = rows[0];
    const uint8_t* __restrict r1 = rows[kRows > 1 ? 1 : 0];
    const uint8_t* __restrict r2 = rows[kRows > 2 ? 2 : 0];
    const uint8_t* __restrict r3 = rows[kRows > 3 ? 3 : 0];
    size_t i = 0;
    for (; i + kBlock <= n; i += kBlock)
        for (size_t k = 0; k < kBlock; ++k) {
            Acc v = kFirst ? Acc(0) : acc[i + k];
            v = Acc(v + r0[i + k]);
            if constexpr (kRows > 1) v = Acc(v + r1[i + k]);
            if constexpr (kRows > 2) v = Acc(v + r2[i + k]);
            if constexpr (kRows > 3) v = Acc(v + r3[i + k]);
            acc[i + k] = v;
        }
    for (; i < n; ++i) {
        Acc v = kFirst ? Acc(0) : acc[i];
        v = Acc(v + r0[i]);
        if constexpr (kRows > 1) v = Acc(v + r1[i]);
        if constexpr (kRows > 2) v = Acc(v + r2[i]);
        if constexpr (kRows > 3) v = Acc(v + r3[i]);
        acc[i] = v;
    }
}

template <class Acc, bool kFirst>
void AddRowGroup(Acc* acc, const uint8_t* const* rows, int count, size_t n) {
    switch (count) {
        case 1:
            return AddRows<Acc, kFirst, 1>(acc, rows, n);
        case 2:
            return AddRows<Acc, kFirst, 2>(acc, rows, n);
        case 3:
            return AddRows<Acc, kFirst, 3>(acc, rows, n);
        default:
            return AddRows<Acc, kFirst, 4>(acc, rows, n);
    }
}

}  // namespace tilvo::rowsums
