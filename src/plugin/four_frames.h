#pragma once

#include <cstdint>
#include <cstring>

// Four consecutive frames of a buffer side by side, for the shell's loops over
// a block: each lane does what a one-frame loop would, the same IEEE
// operation in the same order, four frames at a time. The same helpers take
// one frame as a float, so that a loop's body is written once for its four-
// frame part and its tail.
typedef float FourFrames __attribute__((vector_size(4 * sizeof(float))));

inline float frames_at(const float* buffer, uint32_t f, float)
{
    return buffer[f];
}

inline FourFrames frames_at(const float* buffer, uint32_t f, FourFrames)
{
    FourFrames v;
    std::memcpy(&v, buffer + f, sizeof v);
    return v;
}

inline void put_frames(float* buffer, uint32_t f, float v)
{
    buffer[f] = v;
}

inline void put_frames(float* buffer, uint32_t f, FourFrames v)
{
    std::memcpy(buffer + f, &v, sizeof v);
}

// Calls body(f, v) for every frame f below frame_count, where v is a
// FourFrames four frames at a time and a float for the rest: its type says
// how many frames from f the body takes.
template <class Body>
inline void for_frames(uint32_t frame_count, const Body& body)
{
    uint32_t f = 0;
    for (; f + 4 <= frame_count; f += 4) {
        body(f, FourFrames());
    }
    for (; f < frame_count; ++f) {
        body(f, 0.0f);
    }
}
