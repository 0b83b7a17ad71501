// Tells which tubes ring in each channel of a mix, for the scripts that check
// how hosts route one source through all four tubes: a mix holds several
// tubes per channel, so each tube is looked for at its own lowest resonance,
// in a band too narrow to hold another tube's partials when the notes are
// chosen apart, and its peak is weighed against the floor of the spectrum an
// octave around it. A tube that is not heard leaves no peak there.
//
//   mix_probe FILE FROM_SECONDS DECAY_MS NOTE_1 NOTE_2 NOTE_3 NOTE_4 [SECONDS]
//   (SECONDS: the length of the stretch looked at, 1 by default; a longer
//   one narrows the floor's spread where the source is noise)
//   -> channel 1 tube 3 resonance_hz 288.35 peak_hz 289.10 cents 4.5 prominence 52.3

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "spectrum.h"
#include "wav_file.h"

namespace {
constexpr int TUBES = 4;
// The damping a new instance starts with; the scripts leave it there.
constexpr double DEFAULT_DAMPING_HZ = 12000.0;
// Where the tube's peak may lie: the host's pitch is exact, the prediction
// of the lowest resonance is good to a few cents.
constexpr double SEARCH_CENTS = 50.0;
// The band whose median stands for the floor: half an octave each side.
constexpr double FLOOR_RATIO = 1.41421356237;

double shifted(double frequency, double by_cents)
{
    return frequency * std::pow(2.0, by_cents / 1200.0);
}
}  // namespace

int main(int argc, char** argv)
{
    if (argc != 4 + TUBES && argc != 5 + TUBES) {
        std::fprintf(stderr,
                     "usage: %s FILE FROM_SECONDS DECAY_MS NOTE_1 NOTE_2 NOTE_3 NOTE_4 [SECONDS]\n",
                     argv[0]);
        return 2;
    }
    Audio audio;
    std::string error;
    if (!read_wav(argv[1], audio, error)) {
        std::fprintf(stderr, "mix_probe: %s\n", error.c_str());
        return 1;
    }
    const double rate = audio.sample_rate;
    const auto from = size_t(std::atof(argv[2]) * rate);
    const double length = argc > 4 + TUBES ? std::atof(argv[4 + TUBES]) : 1.0;
    const size_t to = from + size_t(length * rate);
    const double decay = std::atof(argv[3]);
    std::printf("rate %u frames %zu channels %zu\n", audio.sample_rate, audio.frames(),
                audio.channels.size());
    for (size_t c = 0; c < audio.channels.size(); ++c) {
        const auto& channel = audio.channels[c];
        for (int k = 0; k < TUBES; ++k) {
            const double note = std::atof(argv[4 + k]);
            const double expected =
                tube_resonance(tube_length(note, rate), rate, decay, DEFAULT_DAMPING_HZ);
            const Peak near = spectral_peak(channel, from, to, rate, shifted(expected, -SEARCH_CENTS),
                                            shifted(expected, SEARCH_CENTS));
            const Peak band = spectral_peak(channel, from, to, rate, expected / FLOOR_RATIO,
                                            expected * FLOOR_RATIO);
            const double prominence = band.floor > 0.0 ? near.magnitude / band.floor : 0.0;
            std::printf("channel %zu tube %d resonance_hz %.2f peak_hz %.2f cents %.1f "
                        "prominence %.1f\n",
                        c + 1, k + 1, expected, near.frequency, cents(near.frequency, expected),
                        prominence);
        }
    }
    return 0;
}
