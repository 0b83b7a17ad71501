// A small host for memory checkers: loads the plug-in's shared object with
// dlopen and puts instances through what hosts do to them (rates good and
// bad, every control moving, NaN and infinite values, ragged block sizes,
// processing in place, reconnecting, activating again), then unloads it.
// Exits non-zero when an instance cannot be created or an in-range run
// produces a non-finite sample; the memory checker adds its own verdict.
//
// usage: robust_host_driver <path to the plug-in's .so>

#include <cmath>
#include <cstdio>
#include <limits>

#include "loaded_plugin.h"

namespace {

constexpr uint32_t MAX_FRAMES = 8192;
constexpr float NaN = std::numeric_limits<float>::quiet_NaN();
constexpr float INF = std::numeric_limits<float>::infinity();

int failures = 0;
unsigned long frames_run = 0;

void fail(const char* what, double rate)
{
    std::fprintf(stderr, "host driver: %s (rate %g)\n", what, rate);
    ++failures;
}

void run_checked(HostInstance& host, uint32_t frames, bool expect_finite, double rate)
{
    host.run(frames);
    frames_run += frames;
    if (!expect_finite) {
        return;
    }
    for (int i = 0; i < TUBE_COUNT; ++i) {
        for (uint32_t s = 0; s < frames; ++s) {
            if (!std::isfinite(host.output(i)[s])) {
                fail("non-finite output with every value in range", rate);
                return;
            }
        }
    }
}

// Controls within the ranges the bundle declares, moving every few blocks.
void in_range_lifetime(const LV2_Descriptor* descriptor, double rate, bool in_place)
{
    HostInstance host(descriptor, rate, MAX_FRAMES);
    if (!host.valid()) {
        fail("no instance", rate);
        return;
    }
    for (int i = 0; i < TUBE_COUNT; ++i) {
        fill_noise_bursts(host.input(i), MAX_FRAMES, 3000, 400, static_cast<uint32_t>(i));
    }
    if (in_place) {
        host.connect_in_place({3, 2, 1, 0});
    }
    host.activate();
    const uint32_t sizes[] = {0, 1, 16, 17, 100, 256, 1024, 4095, MAX_FRAMES};
    for (int block = 0; block < 120; ++block) {
        if (block % 12 == 0) {
            const float k = static_cast<float>(block / 12);
            for (int i = 0; i < TUBE_COUNT; ++i) {
                host.control(PORT_NOTE_1 + i) = std::fmod(20.0f + 13.5f * k + 7.0f * i, 127.0f);
            }
            host.control(PORT_TRANSPOSE) = std::fmod(5.0f * k, 96.0f) - 48.0f;
            host.control(PORT_DECAY) = 1.0f + std::fmod(997.0f * k, 9999.0f);
            host.control(PORT_LEVEL) = 12.0f - std::fmod(17.0f * k, 132.0f);
            host.control(PORT_DAMPING) = 20.0f + std::fmod(2311.0f * k, 19980.0f);
        }
        if (block == 60) {
            host.deactivate();
            host.activate();
            host.connect(PORT_COUNT, nullptr);
            host.connect(4096, &host);
        }
        run_checked(host, sizes[block % 9], true, rate);
    }
    host.deactivate();
}

// Every control through NaN, infinities, huge and negative values.
void bad_value_lifetime(const LV2_Descriptor* descriptor, double rate)
{
    HostInstance host(descriptor, rate, MAX_FRAMES);
    if (!host.valid()) {
        fail("no instance", rate);
        return;
    }
    for (int i = 0; i < TUBE_COUNT; ++i) {
        fill_noise_bursts(host.input(i), MAX_FRAMES, 2000, 200, static_cast<uint32_t>(i + 7));
    }
    host.input(1)[10] = NaN;
    host.input(2)[20] = INF;
    host.input(3)[30] = 1e-42f;
    const float values[] = {NaN, INF, -INF, 3e38f, -3e38f, -1.0f, -0.0f, 1e-30f, 60.5f};
    for (int block = 0; block < 60; ++block) {
        for (uint32_t port = PORT_NOTE_1; port < PORT_COUNT; ++port) {
            host.control(port) = values[(block + port) % 9];
        }
        run_checked(host, 1000u + static_cast<uint32_t>(block), false, rate);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <plug-in .so>\n", argv[0]);
        return 2;
    }
    {
        const LoadedPlugin plugin(argv[1]);
        const LV2_Descriptor* descriptor = plugin.descriptor();
        for (double rate : {48000.0, 44100.0, 96000.0, 22050.0, 192000.0}) {
            in_range_lifetime(descriptor, rate, false);
        }
        in_range_lifetime(descriptor, 48000.0, true);
        for (double rate :
             {48000.0, 0.0, -44100.0, static_cast<double>(NaN), static_cast<double>(INF), 1e300}) {
            bad_value_lifetime(descriptor, rate);
        }
        // An instance that is created and destroyed without ever running.
        LV2_Handle idle = descriptor->instantiate(descriptor, 48000.0, "", nullptr);
        if (idle == nullptr) {
            fail("no instance", 48000.0);
        } else {
            descriptor->cleanup(idle);
        }
    }
    std::printf("host driver: %lu frames run, %d failures\n", frames_run, failures);
    return failures == 0 ? 0 : 1;
}
