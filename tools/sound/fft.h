#pragma once

#include <complex>
#include <vector>

// In-place radix-2 discrete Fourier transform (e^-i convention); the size
// must be a power of two.
void fft(std::vector<std::complex<double>>& data);

// The smallest power of two not below n.
size_t power_of_two_at_least(size_t n);
