// lv2apply, lilv's command-line host, renders WAV files through the bundle
// in the build tree, one frame per run call. Each tube's rendered output
// must ring at the pitch of its note, and controls given on lv2apply's
// command line must reach the plug-in.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "plugin/ports.h"
#include "spectrum.h"
#include "wav_file.h"

namespace {

constexpr uint32_t RATE = 48000;
constexpr size_t SETTLE_FRAMES = 20000;  // after the first glide, ~12,800 frames
constexpr size_t FRAMES = SETTLE_FRAMES + RATE;
const float DEFAULT_NOTES[4] = {
    CONTROLS[CONTROL_NOTE_1].default_value, CONTROLS[CONTROL_NOTE_2].default_value,
    CONTROLS[CONTROL_NOTE_3].default_value, CONTROLS[CONTROL_NOTE_4].default_value};

std::string output_path(const std::string& name)
{
    return std::string(HOST_OUTPUT_DIR) + "/" + name;
}

// Four channels of silence with one click each after the first glide.
Audio clicks()
{
    Audio audio;
    audio.sample_rate = RATE;
    audio.channels.assign(4, std::vector<float>(FRAMES, 0.0f));
    for (auto& channel : audio.channels) channel[SETTLE_FRAMES] = 0.5f;
    return audio;
}

// Runs lv2apply on `in` with extra arguments and reads what it wrote.
Audio apply(const std::string& name, const Audio& in, const std::string& controls)
{
    const std::string in_path = output_path(name + "_in.wav");
    const std::string out_path = output_path(name + "_out.wav");
    EXPECT_TRUE(write_wav(in_path, in));
    std::remove(out_path.c_str());
    const std::string command = std::string("'") + LV2APPLY_PATH + "' -i '" + in_path + "' -o '" +
                                out_path + "' " + controls + " '" PLUGIN_URI "'";
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    Audio out;
    std::string error;
    EXPECT_TRUE(read_wav(out_path, out, error)) << error;
    return out;
}

class Lv2Apply : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (std::string(LV2APPLY_PATH).empty())
            GTEST_SKIP() << "lv2apply (lilv-utils) is not installed";
        setenv("LV2_PATH", PLUGIN_LV2_DIR, 0);
    }

    // Each channel rings at the loop resonance of its note plus `transpose`.
    static void expect_tubes_at(const Audio& out, float transpose, float decay)
    {
        ASSERT_EQ(out.channels.size(), 4u);
        ASSERT_EQ(out.sample_rate, RATE);
        ASSERT_EQ(out.frames(), FRAMES);
        for (int k = 0; k < 4; ++k) {
            SCOPED_TRACE("tube " + std::to_string(k + 1));
            const auto& channel = out.channels[size_t(k)];
            EXPECT_TRUE(all_finite(channel));
            EXPECT_EQ(rms(channel, 0, SETTLE_FRAMES), 0.0);
            EXPECT_GT(rms(channel, SETTLE_FRAMES, SETTLE_FRAMES + 960), 1e-3);
            const double length = tube_length(DEFAULT_NOTES[k] + transpose, RATE);
            const double expected = tube_resonance(length, RATE, decay, 12000.0);
            const Peak peak = spectral_peak(channel, SETTLE_FRAMES, FRAMES, RATE, 0.7 * expected,
                                            1.4 * expected, Window::None);
            EXPECT_NEAR(cents(peak.frequency, expected), 0.0, 12.0)
                << "peak " << peak.frequency << " Hz, loop resonance " << expected << " Hz";
        }
    }
};

TEST_F(Lv2Apply, RendersEveryTubeAtItsNote)
{
    expect_tubes_at(apply("default", clicks(), ""), 0.0f, 100.0f);
}

TEST_F(Lv2Apply, ControlsOnTheCommandLineReachThePlugin)
{
    const Audio plain = apply("plain", clicks(), "");
    const Audio changed = apply("changed", clicks(), "-c transpose 12 -c decay 400");
    expect_tubes_at(changed, 12.0f, 400.0f);
    // A fourfold decay keeps the tubes ringing long after the default's end.
    for (size_t k = 0; k < 4; ++k) {
        const size_t from = SETTLE_FRAMES + RATE / 5, to = from + RATE / 20;
        EXPECT_GT(rms(changed.channels[k], from, to), 100.0 * rms(plain.channels[k], from, to))
            << k + 1;
    }
}

}  // namespace
