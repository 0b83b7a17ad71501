#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "diag/debug_log.h"
#include "loaded_plugin.h"

// Several instances on several threads at once, the log on: the instances
// share only the log level and the log file. Built with ThreadSanitizer as
// well, where any unsynchronised access between them is reported as a race.
// The library is loaded as a host loads it, after the process (and the
// sanitizer's runtime) has started.

namespace {

constexpr uint32_t BLOCK = 256;
constexpr int BLOCKS = 240;
constexpr int LIFETIMES = 2;  // instantiate/run/cleanup twice per thread
constexpr int THREADS = 4;

struct Part {
    double sample_rate;
    uint32_t seed;
};

const Part PARTS[THREADS] = {{48000.0, 1}, {44100.0, 2}, {96000.0, 3}, {22050.0, 4}};

// Instance lifetimes whose control changes and glide arrivals write log lines
// all along; returns every output sample of every lifetime.
std::vector<float> play(const Part& part)
{
    std::vector<float> sound;
    for (int life = 0; life < LIFETIMES; ++life) {
        HostInstance host(descriptor(), part.sample_rate, BLOCK);
        for (int i = 0; i < TUBE_COUNT; ++i) {
            fill_noise_bursts(host.input(i), BLOCK, 64, 16, part.seed * 10 + i);
        }
        host.activate();
        for (int block = 0; block < BLOCKS; ++block) {
            if (block % 40 == 20) {
                const float shift = static_cast<float>((block / 40 + life + part.seed) % 4);
                for (int i = 0; i < TUBE_COUNT; ++i) {
                    host.control(PORT_NOTE_1 + i) = default_control(PORT_NOTE_1 + i) - 3.0f * shift;
                }
                host.control(PORT_DECAY) = 80.0f + 20.0f * shift;
            }
            host.run(BLOCK);
            for (int i = 0; i < TUBE_COUNT; ++i) {
                sound.insert(sound.end(), host.output(i), host.output(i) + BLOCK);
            }
        }
        host.deactivate();
    }
    return sound;
}

void start_empty_log()
{
    std::ofstream(LOG_PATH, std::ios::trunc).flush();
}

bool same_bits(const std::vector<float>& a, const std::vector<float>& b)
{
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

struct LogFileRemoved {
    ~LogFileRemoved() { std::remove(LOG_PATH); }
};

TEST(Threads, InstancesOnSeveralThreadsShareNothingButWholeLogLines)
{
    LogFileRemoved remove_at_end;
    descriptor();  // loaded before any thread starts, as a host does

    // Each part alone first, on this thread: its sound and its log lines.
    std::vector<std::vector<float>> expected_sound(THREADS);
    std::vector<std::string> expected_lines;
    for (int t = 0; t < THREADS; ++t) {
        start_empty_log();
        expected_sound[t] = play(PARTS[t]);
        const std::vector<std::string> lines = log_lines();
        expected_lines.insert(expected_lines.end(), lines.begin(), lines.end());
    }
    ASSERT_GT(expected_lines.size(), static_cast<size_t>(THREADS * LIFETIMES * 12));

    // Then all parts at once, started together.
    start_empty_log();
    std::vector<std::vector<float>> sound(THREADS);
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
        threads.emplace_back([&, t] {
            ready.fetch_add(1);
            while (ready.load() < THREADS) {
                std::this_thread::yield();
            }
            sound[t] = play(PARTS[t]);
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }

    for (int t = 0; t < THREADS; ++t) {
        EXPECT_TRUE(same_bits(sound[t], expected_sound[t])) << "part " << t << " sounds different";
    }
    // Lines interleave in any order, but each one is whole and every line of
    // every part is there exactly once.
    std::vector<std::string> lines = log_lines();
    for (const std::string& line : lines) {
        EXPECT_TRUE(is_whole_log_line(line)) << "torn line: " << line;
    }
    std::sort(lines.begin(), lines.end());
    std::sort(expected_lines.begin(), expected_lines.end());
    EXPECT_EQ(lines.size(), expected_lines.size());
    EXPECT_TRUE(lines == expected_lines);
}

}  // namespace
