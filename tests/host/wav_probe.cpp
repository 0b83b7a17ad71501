// Reports what a rendered WAV file holds, for the host tests written as
// scripts: one line per channel with its RMS level from FROM_SECONDS on,
// whether every sample is finite, and the strongest component between LOW_HZ
// and HIGH_HZ of the second that starts at FROM_SECONDS. Given the decay and each channel's note,
// it also looks for the peak around the tube's loop resonance and says how far off it is in cents.
//
//   wav_probe FILE FROM_SECONDS LOW_HZ HIGH_HZ [DECAY_MS NOTE...]
//   -> channel 1 rms 0.0123 finite yes peak_hz 261.50 prominence 40.2 [resonance_hz 288.35 cents
//   -3.1]

#include <cstdio>
#include <cstdlib>
#include <string>

#include "spectrum.h"
#include "wav_file.h"

int main(int argc, char** argv)
{
    if (argc < 5 || argc == 6) {
        std::fprintf(stderr, "usage: %s FILE FROM_SECONDS LOW_HZ HIGH_HZ [DECAY_MS NOTE...]\n",
                     argv[0]);
        return 2;
    }
    Audio audio;
    std::string error;
    if (!read_wav(argv[1], audio, error)) {
        std::fprintf(stderr, "wav_probe: %s\n", error.c_str());
        return 1;
    }
    const auto from = size_t(std::atof(argv[2]) * audio.sample_rate);
    const size_t to = from + audio.sample_rate;
    const double low = std::atof(argv[3]);
    const double high = std::atof(argv[4]);
    const double decay = argc > 5 ? std::atof(argv[5]) : 0.0;
    const double rate = audio.sample_rate;
    std::printf("rate %u frames %zu channels %zu\n", audio.sample_rate, audio.frames(),
                audio.channels.size());
    for (size_t c = 0; c < audio.channels.size(); ++c) {
        const auto& channel = audio.channels[c];
        const Peak peak = spectral_peak(channel, from, to, rate, low, high);
        std::printf("channel %zu rms %.6g finite %s peak_hz %.2f prominence %.1f", c + 1,
                    rms(channel, from, channel.size()), all_finite(channel) ? "yes" : "no",
                    peak.frequency, peak.prominence);
        if (6 + c < size_t(argc)) {
            const double note = std::atof(argv[6 + c]);
            const double expected = tube_resonance(tube_length(note, rate), rate, decay, 12000.0);
            const Peak near =
                spectral_peak(channel, from, to, rate, 0.7 * expected, 1.4 * expected);
            std::printf(" resonance_hz %.2f cents %.1f", expected, cents(near.frequency, expected));
        }
        std::printf("\n");
    }
    return 0;
}
