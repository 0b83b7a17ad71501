#include "fft.h"

#include <cmath>
#include <utility>

void fft(std::vector<std::complex<double>>& data)
{
    const size_t n = data.size();
    for (size_t i = 1, j = 0; i < n; ++i) {
        size_t bit = n >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j ^= bit;
        if (i < j) std::swap(data[i], data[j]);
    }
    // One table of twiddles for every stage, each computed from its angle, so
    // that large transforms keep their accuracy.
    std::vector<std::complex<double>> twiddle(n / 2);
    for (size_t k = 0; k < n / 2; ++k) {
        twiddle[k] = std::polar(1.0, -2.0 * 3.14159265358979323846 * double(k) / double(n));
    }
    for (size_t length = 2; length <= n; length <<= 1) {
        const size_t stride = n / length;
        for (size_t start = 0; start < n; start += length) {
            for (size_t k = 0; k < length / 2; ++k) {
                const std::complex<double> a = data[start + k];
                const std::complex<double> b = data[start + k + length / 2] * twiddle[k * stride];
                data[start + k] = a + b;
                data[start + k + length / 2] = a - b;
            }
        }
    }
}

size_t power_of_two_at_least(size_t n)
{
    size_t p = 1;
    while (p < n) p <<= 1;
    return p;
}
