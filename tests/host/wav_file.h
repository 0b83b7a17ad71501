#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A multi-channel recording, one vector of samples per channel: what the
// real-host tests hand to a host and read back from it.
struct Audio {
    uint32_t sample_rate = 0;
    std::vector<std::vector<float>> channels;

    size_t frames() const { return channels.empty() ? 0 : channels[0].size(); }
};

// Writes 32-bit float WAV, the format hosts keep for their output.
bool write_wav(const std::string& path, const Audio& audio);

// Reads the WAV files the hosts write: 16-, 24- and 32-bit integer or 32- and
// 64-bit float samples, plain or extensible format chunk. Returns false and
// says why in `error` for anything else.
bool read_wav(const std::string& path, Audio& audio, std::string& error);
