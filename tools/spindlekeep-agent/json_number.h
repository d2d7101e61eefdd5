// Conversions of JSON numbers (doubles of any size) into integers without
// undefined behaviour: NaN and values below the range give the minimum,
// values above it the maximum, fractions are dropped.
#pragma once

#include <cstdint>
#include <limits>

template <typename T>
T JsonNumberTo(double value)
{
    constexpr double kMin = static_cast<double>(std::numeric_limits<T>::min());
    // The largest double below 2^bits, so the cast stays in range.
    constexpr double kMax = static_cast<double>(std::numeric_limits<T>::max() / 2 + 1) * 2.0;
    if (!(value > kMin)) {
        return std::numeric_limits<T>::min();
    }
    if (value >= kMax) {
        return std::numeric_limits<T>::max();
    }
    return static_cast<T>(value);
}
