// A companion in tune works out its tubes' lengths after a damping change on
// the host's worker thread. Checked against the same companion without a
// worker, which works them out in run, and against in_tune_distance itself.

#include <gtest/gtest.h>
#include <lv2/worker/worker.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "engine/in_tune.h"
#include "plugin/companion.h"
#include "support/companion_host.h"

namespace {

// A host's worker made synchronous: what run schedules waits until the test
// delivers it, then work and work_response run one after the other, as a
// host's worker thread and its audio thread would between two runs.
struct TestWorker {
    std::vector<std::vector<uint8_t>> queued;
    bool full = false;  // the queue refuses work, as a host's may
    LV2_Worker_Schedule schedule{this, schedule_work};
    LV2_Feature feature{LV2_WORKER__schedule, &schedule};
    const LV2_Feature* features[3] = {host_features()[0], &feature, nullptr};

    static LV2_Worker_Status schedule_work(LV2_Worker_Schedule_Handle handle, uint32_t size,
                                           const void* data)
    {
        auto* self = static_cast<TestWorker*>(handle);
        if (self->full) return LV2_WORKER_ERR_NO_SPACE;
        const auto* bytes = static_cast<const uint8_t*>(data);
        self->queued.emplace_back(bytes, bytes + size);
        return LV2_WORKER_SUCCESS;
    }

    static LV2_Worker_Status respond(LV2_Worker_Respond_Handle handle, uint32_t size,
                                     const void* data)
    {
        auto* answers = static_cast<std::vector<std::vector<uint8_t>>*>(handle);
        const auto* bytes = static_cast<const uint8_t*>(data);
        answers->emplace_back(bytes, bytes + size);
        return LV2_WORKER_SUCCESS;
    }

    void deliver(CompanionHost& host)
    {
        const auto* worker = static_cast<const LV2_Worker_Interface*>(
            host.descriptor()->extension_data(LV2_WORKER__interface));
        ASSERT_NE(worker, nullptr);
        std::vector<std::vector<uint8_t>> answers;
        for (const auto& work : queued) {
            ASSERT_EQ(worker->work(host.handle(), respond, &answers, uint32_t(work.size()),
                                   work.data()),
                      LV2_WORKER_SUCCESS);
        }
        queued.clear();
        for (const auto& answer : answers) {
            ASSERT_EQ(worker->work_response(host.handle(), uint32_t(answer.size()), answer.data()),
                      LV2_WORKER_SUCCESS);
        }
    }
};

// Where each tube is heading: its request if one waits, else its glide.
struct Heading {
    uint64_t length;
    float distance;
    bool operator==(const Heading& o) const { return length == o.length && distance == o.distance; }
};

Heading heading(const CompanionHost& host_const, int i)
{
    auto& host = const_cast<CompanionHost&>(host_const);
    const TubeBank& bank = *host.instance().bank;
    if (bank.pending_length[i] != 0) return {bank.pending_length[i], bank.pending_distance[i]};
    return {bank.glide_target[i], bank.glide_distance[i]};
}

float fresh_distance(CompanionHost& host, int i)
{
    const TubeBank& bank = *host.instance().bank;
    return in_tune_distance(bank.note[i] + bank.transpose[i], bank.sample_rate[i],
                            bank.damping_coef[i], bank.decay[i]);
}

constexpr uint32_t BLOCK = 256;

void run_blocks(CompanionHost& host, int blocks)
{
    for (int b = 0; b < blocks; ++b) host.run(BLOCK);
}

}  // namespace

// The answer puts every tube where the companion without a worker put it in
// the run of the change, and remembers it as its own; meanwhile the lengths
// stay. Twice over, with the decay changed too between the two changes.
TEST(TuningWorker, ADampingChangeIsRetunedByTheAnswerAsRunWouldHave)
{
    TestWorker worker;
    CompanionHost with(PluginKind::MONO, 48000.0, BLOCK, worker.features);
    CompanionHost without(PluginKind::MONO, 48000.0, BLOCK);
    run_blocks(with, 40);
    run_blocks(without, 40);
    worker.deliver(with);

    for (float damping : {3000.0f, 450.0f}) {
        with.control(CONTROL_DAMPING) = without.control(CONTROL_DAMPING) = damping;
        with.control(CONTROL_DECAY) = without.control(CONTROL_DECAY) *= 2.0f;
        Heading before[TUBE_COUNT];
        for (int i = 0; i < TUBE_COUNT; ++i) before[i] = heading(with, i);
        with.run(1);
        without.run(1);
        ASSERT_FALSE(worker.queued.empty());
        for (int i = 0; i < TUBE_COUNT; ++i) {
            EXPECT_TRUE(heading(with, i) == before[i]) << "tube " << i + 1 << " moved before the answer";
            EXPECT_FALSE(heading(without, i) == before[i]) << "tube " << i + 1;
        }
        worker.deliver(with);
        for (int i = 0; i < TUBE_COUNT; ++i) {
            const Heading theirs = heading(without, i);
            EXPECT_TRUE(heading(with, i) == theirs) << "tube " << i + 1;
            EXPECT_EQ(theirs.distance, fresh_distance(with, i)) << "tube " << i + 1;
            const TubeBank& bank = *with.instance().bank;
            const int note = int(std::round(bank.note[i] + bank.transpose[i]));
            EXPECT_EQ(bank.tuned[i].distance[note], theirs.distance) << "not remembered";
        }
        run_blocks(with, 40);
        run_blocks(without, 40);
    }
}

// An answer overtaken: a tube whose note changed meanwhile keeps the length
// run worked out for its new note (tube 1), and so does one whose note went
// away and came back under the newer damping (tube 2); with the damping
// changed again, the old answer moves the others but is not remembered, and
// the newer one, when it comes, puts them in place.
TEST(TuningWorker, AnOvertakenAnswerNeverOverridesANewerLength)
{
    TestWorker worker;
    CompanionHost host(PluginKind::STEREO, 44100.0, BLOCK, worker.features);
    run_blocks(host, 40);
    worker.deliver(host);

    host.control(CONTROL_DAMPING) = 2000.0f;
    host.run(BLOCK);
    host.control(CONTROL_NOTE_1) = 50.0f;
    host.control(CONTROL_DAMPING) = 6000.0f;
    // The tubes' questions come first of what a run asks.
    const size_t second = worker.queued.size();
    host.run(BLOCK);
    const float note_2 = host.control(CONTROL_NOTE_2);
    host.control(CONTROL_NOTE_2) = note_2 + 2.0f;
    host.run(BLOCK);
    host.control(CONTROL_NOTE_2) = note_2;
    host.run(BLOCK);
    ASSERT_GT(worker.queued.size(), second);
    Heading newer[2];
    for (int i = 0; i < 2; ++i) {
        newer[i] = heading(host, i);
        EXPECT_EQ(newer[i].distance, fresh_distance(host, i)) << "tube " << i + 1;
    }

    // All but the second damping's answer.
    const std::vector<uint8_t> later = worker.queued[second];
    worker.queued.erase(worker.queued.begin() + long(second));
    worker.deliver(host);
    const TubeBank& bank = *host.instance().bank;
    for (int i = 0; i < TUBE_COUNT; ++i) {
        if (i < 2) {
            EXPECT_TRUE(heading(host, i) == newer[i]) << "tube " << i + 1;
            continue;
        }
        const int note = int(std::round(bank.note[i] + bank.transpose[i]));
        EXPECT_TRUE(std::isnan(bank.tuned[i].distance[note])) << "tube " << i + 1;
        EXPECT_NE(heading(host, i).distance, fresh_distance(host, i)) << "tube " << i + 1;
    }
    worker.queued.push_back(later);
    worker.deliver(host);
    for (int i = 0; i < TUBE_COUNT; ++i) {
        EXPECT_EQ(heading(host, i).distance, fresh_distance(host, i)) << "tube " << i + 1;
    }
    // The overtaken table is asked for again once the conditions have
    // rested, with no control moving, and this time remembered.
    for (uint32_t rested = 0; rested <= TABLE_AFTER_FRAMES; rested += BLOCK) {
        host.run(BLOCK);
        worker.deliver(host);
    }
    EXPECT_EQ(bank.tuned[3].distance[30],
              in_tune_distance(30.0f, bank.sample_rate[3], bank.damping_coef[3], bank.decay[3]));
}

// The table of every note: with the worker answering after every run, a
// session of notes, transposes and decays rings bit for bit as the companion
// without a worker (a remembered distance is the one run works out), and
// once the conditions rest every note is remembered, so run works none out.
TEST(TuningWorker, TheTableOfEveryNoteRingsAsRunWouldHave)
{
    TestWorker worker;
    CompanionHost with(PluginKind::STEREO, 48000.0, 64, worker.features);
    CompanionHost without(PluginKind::STEREO, 48000.0, 64);
    uint32_t seed = 7;
    const auto next = [&seed](uint32_t n) {
        seed = seed * 1664525u + 1013904223u;
        return (seed >> 8) % n;
    };
    for (int block = 0; block < 600; ++block) {
        for (CompanionHost* host : {&with, &without}) {
            for (uint32_t f = 0; f < 64; ++f) {
                host->in_left[f] = (block % 50 == 0 && f < 8) ? 0.5f : 0.0f;
            }
        }
        if (block % 7 == 3) {
            const ControlId id = ControlId(CONTROL_NOTE_1 + next(4));
            with.control(id) = without.control(id) = float(24 + next(61));
        }
        if (block % 23 == 5) {
            with.control(CONTROL_TRANSPOSE) = without.control(CONTROL_TRANSPOSE) =
                float(int(next(49)) - 24);
        }
        if (block % 97 == 11) {
            with.control(CONTROL_DECAY) = without.control(CONTROL_DECAY) = float(50 + next(3000));
        }
        with.run(64);
        without.run(64);
        worker.deliver(with);
        ASSERT_EQ(0, std::memcmp(with.out_left.data(), without.out_left.data(), 64 * sizeof(float)))
            << "block " << block;
        ASSERT_EQ(0, std::memcmp(with.out_right.data(), without.out_right.data(), 64 * sizeof(float)))
            << "block " << block;
    }
    for (uint32_t rested = 0; rested <= TABLE_AFTER_FRAMES; rested += 64) {
        with.run(64);
        worker.deliver(with);
    }
    const TubeBank& bank = *with.instance().bank;
    for (int i = 0; i < TUBE_COUNT; ++i) {
        for (int note = 0; note < MEMO_NOTES; ++note) {
            ASSERT_EQ(bank.tuned[i].distance[note],
                      in_tune_distance(float(note), bank.sample_rate[i], bank.damping_coef[i],
                                       bank.decay[i]))
                << "tube " << i + 1 << " note " << note;
        }
    }
}

// The first run brings a preset's decay and damping with the notes a new
// companion already has: every tube heads for the length in tune at them,
// with a worker or without, here on the long line of 96 kHz.
TEST(TuningWorker, TheFirstRunTunesForTheDecayAndDampingItBrings)
{
    TestWorker worker;
    CompanionHost with(PluginKind::MONO, 96000.0, BLOCK, worker.features);
    CompanionHost without(PluginKind::MONO, 96000.0, BLOCK);
    for (CompanionHost* host : {&with, &without}) {
        host->control(CONTROL_NOTE_1) = 36.0f;
        host->control(CONTROL_DECAY) = 1500.0f;
        host->control(CONTROL_DAMPING) = 5000.0f;
        host->run(BLOCK);
    }
    worker.deliver(with);
    for (CompanionHost* host : {&with, &without}) {
        for (int i = 0; i < TUBE_COUNT; ++i) {
            EXPECT_EQ(heading(*host, i).distance, fresh_distance(*host, i)) << "tube " << i + 1;
        }
    }
}

// A worker that cannot take the work, or a companion not in tune: the
// lengths follow in the run itself, exactly as without a worker.
TEST(TuningWorker, WithoutRoomOrOutOfTuneTheRunRetunesItself)
{
    for (float tuning : {0.0f, 1.0f}) {
        TestWorker worker;
        worker.full = tuning == 0.0f;
        CompanionHost with(PluginKind::MONO, 96000.0, BLOCK, worker.features);
        CompanionHost without(PluginKind::MONO, 96000.0, BLOCK);
        with.control(CONTROL_TUNING) = without.control(CONTROL_TUNING) = tuning;
        run_blocks(with, 40);
        run_blocks(without, 40);
        with.control(CONTROL_DAMPING) = without.control(CONTROL_DAMPING) = 900.0f;
        with.run(BLOCK);
        without.run(BLOCK);
        EXPECT_TRUE(worker.queued.empty());
        for (int i = 0; i < TUBE_COUNT; ++i) {
            EXPECT_TRUE(heading(with, i) == heading(without, i)) << "tuning " << tuning;
        }
        EXPECT_EQ(0, std::memcmp(with.out_left.data(), without.out_left.data(),
                                 BLOCK * sizeof(float)));
    }
}

// Only the companions answer for a worker; the four-channel plug-in has none.
TEST(TuningWorker, OnlyTheCompanionsOfferIt)
{
    extern const LV2_Descriptor* lv2_descriptor(uint32_t);
    EXPECT_EQ(lv2_descriptor(0)->extension_data(LV2_WORKER__interface), nullptr);
    for (uint32_t index : {1u, 2u}) {
        EXPECT_NE(lv2_descriptor(index)->extension_data(LV2_WORKER__interface), nullptr);
        EXPECT_EQ(lv2_descriptor(index)->extension_data(LV2_CORE_URI "#nothing"), nullptr);
    }
}
