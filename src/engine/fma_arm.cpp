// The rare sums of 32-bit ARM's emulated fused multiply-add (engine/fma_arm.h),
// out of line so that the common path keeps nothing alive for them: the
// exact sums rounded to odd of engine/fma_emulation.h.
#include "engine/fma_arm.h"

#include "engine/fma_emulation.h"

#if defined(__arm__) && !defined(__ARM_FEATURE_FMA)

namespace fma_arm {

float fused_careful(float a, float b, float c)
{
    return fused_exact(a, b, c);
}

double fused_careful(double a, double b, double c)
{
    return fused_exact(a, b, c);
}

float fused_narrowed_careful(double a, double b, double c)
{
    return static_cast<float>(fused_exact(a, b, c));
}

}  // namespace fma_arm

#endif
