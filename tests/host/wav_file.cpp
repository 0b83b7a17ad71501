#include "wav_file.h"

#include <cstring>
#include <fstream>
#include <iterator>

namespace {

constexpr uint16_t FORMAT_PCM = 1;
constexpr uint16_t FORMAT_FLOAT = 3;
constexpr uint16_t FORMAT_EXTENSIBLE = 0xFFFE;

uint32_t le32(const unsigned char* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint16_t le16(const unsigned char* p)
{
    return uint16_t(p[0] | p[1] << 8);
}

void put32(std::string& out, uint32_t v)
{
    for (int i = 0; i < 4; ++i) out.push_back(char((v >> (8 * i)) & 0xFF));
}

void put16(std::string& out, uint16_t v)
{
    out.push_back(char(v & 0xFF));
    out.push_back(char(v >> 8));
}

}  // namespace

bool write_wav(const std::string& path, const Audio& audio)
{
    const auto channels = static_cast<uint16_t>(audio.channels.size());
    const auto frames = static_cast<uint32_t>(audio.frames());
    const uint32_t data_bytes = frames * channels * 4u;
    std::string out;
    out += "RIFF";
    put32(out, 4 + 8 + 16 + 8 + 4 + 8 + data_bytes);
    out += "WAVEfmt ";
    put32(out, 16);
    put16(out, FORMAT_FLOAT);
    put16(out, channels);
    put32(out, audio.sample_rate);
    put32(out, audio.sample_rate * channels * 4u);
    put16(out, uint16_t(channels * 4u));
    put16(out, 32);
    out += "fact";
    put32(out, 4);
    put32(out, frames);
    out += "data";
    put32(out, data_bytes);
    for (uint32_t f = 0; f < frames; ++f) {
        for (const auto& channel : audio.channels) {
            uint32_t bits;
            std::memcpy(&bits, &channel[f], 4);
            put32(out, bits);
        }
    }
    std::ofstream file(path, std::ios::binary);
    file.write(out.data(), std::streamsize(out.size()));
    return bool(file);
}

bool read_wav(const std::string& path, Audio& audio, std::string& error)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = "cannot open " + path;
        return false;
    }
    const std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(file)),
                                           std::istreambuf_iterator<char>());
    if (bytes.size() < 12 || std::memcmp(bytes.data(), "RIFF", 4) != 0 ||
        std::memcmp(bytes.data() + 8, "WAVE", 4) != 0) {
        error = path + " is not a RIFF/WAVE file";
        return false;
    }
    uint16_t format = 0, channels = 0, bits = 0;
    uint32_t rate = 0;
    const unsigned char* data = nullptr;
    size_t data_size = 0;
    for (size_t at = 12; at + 8 <= bytes.size();) {
        const unsigned char* chunk = bytes.data() + at;
        const size_t size = le32(chunk + 4);
        const size_t body = at + 8;
        const size_t available = bytes.size() - body;
        if (std::memcmp(chunk, "fmt ", 4) == 0 && size >= 16 && available >= 16) {
            format = le16(chunk + 8);
            channels = le16(chunk + 10);
            rate = le32(chunk + 12);
            bits = le16(chunk + 22);
            if (format == FORMAT_EXTENSIBLE && size >= 40 && available >= 40) {
                format = le16(chunk + 8 + 24);  // first bytes of the sub-format GUID
            }
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            data = chunk + 8;
            data_size = size < available ? size : available;
        }
        at = body + size + (size & 1);
    }
    const bool integer = format == FORMAT_PCM && (bits == 16 || bits == 24 || bits == 32);
    const bool floating = format == FORMAT_FLOAT && (bits == 32 || bits == 64);
    if (data == nullptr || channels == 0 || !(integer || floating)) {
        error = path + ": unsupported WAV layout (format " + std::to_string(format) + ", " +
                std::to_string(bits) + " bits, " + std::to_string(channels) + " channels)";
        return false;
    }
    const size_t width = bits / 8;
    const size_t frames = data_size / (width * channels);
    audio.sample_rate = rate;
    audio.channels.assign(channels, std::vector<float>(frames));
    for (size_t f = 0; f < frames; ++f) {
        for (size_t c = 0; c < channels; ++c) {
            const unsigned char* p = data + (f * channels + c) * width;
            float v = 0.0f;
            if (floating && bits == 32) {
                const uint32_t u = le32(p);
                std::memcpy(&v, &u, 4);
            } else if (floating) {
                uint64_t u = uint64_t(le32(p)) | uint64_t(le32(p + 4)) << 32;
                double d;
                std::memcpy(&d, &u, 8);
                v = float(d);
            } else if (bits == 16) {
                v = float(int16_t(le16(p))) / 32768.0f;
            } else if (bits == 24) {
                const int32_t s =
                    int32_t(uint32_t(p[0]) << 8 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 24);
                v = float(double(s) / 2147483648.0);
            } else {
                v = float(double(int32_t(le32(p))) / 2147483648.0);
            }
            audio.channels[c][f] = v;
        }
    }
    return true;
}
