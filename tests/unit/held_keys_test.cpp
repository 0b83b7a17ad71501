#include "plugin/held_keys.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "engine/tube_bank.h"
#include "support/plugin_harness.h"

namespace {

constexpr int LOWEST = 24;
constexpr int HIGHEST = 84;

KeyEvent press(int key)
{
    return {0, KeyAction::PRESS, static_cast<uint8_t>(key)};
}
KeyEvent release(int key)
{
    return {0, KeyAction::RELEASE, static_cast<uint8_t>(key)};
}
KeyEvent release_all()
{
    return {0, KeyAction::RELEASE_ALL, 0};
}

std::vector<float> chord_of(const HeldKeys& keys)
{
    return {keys.chord, keys.chord + TUBE_COUNT};
}

// The rules as a player would state them, written without the bookkeeping of
// the code under test: a list of held keys, sorted copies, octaves added by
// hand.
struct HeldModel {
    std::vector<int> held;  // oldest press first
    std::vector<float> chord;

    static int into_range(int note)
    {
        while (note < LOWEST) note += 12;
        while (note > HIGHEST) note -= 12;
        return note;
    }

    void take(const KeyEvent& e)
    {
        if (e.action == KeyAction::RELEASE_ALL) {
            held.clear();
            return;
        }
        held.erase(std::remove(held.begin(), held.end(), e.key), held.end());
        if (e.action == KeyAction::RELEASE) {
            return;
        }
        held.push_back(e.key);
        std::vector<int> recent(held.end() - std::min<size_t>(held.size(), 4), held.end());
        for (int& note : recent) note = into_range(note);
        std::sort(recent.begin(), recent.end());
        std::vector<int> rounds;
        for (int octave = 0; rounds.size() < 4; octave += 12) {
            for (int note : recent) rounds.push_back(note + octave);
        }
        chord.clear();
        for (int t = 0; t < 4; ++t) chord.push_back(float(into_range(rounds[t])));
    }
};

}  // namespace

TEST(HeldKeys, ChordsFromTheKeysHeld)
{
    struct Case {
        const char* what;
        std::vector<KeyEvent> events;
        std::vector<float> chord;
    };
    const Case cases[] = {
        {"one key: the note and its three octaves", {press(48)}, {48, 60, 72, 84}},
        {"one key near the top: octaves past 84 stay on the highest",
         {press(72)},
         {72, 84, 84, 84}},
        {"the top note itself", {press(84)}, {84, 84, 84, 84}},
        {"the bottom note", {press(24)}, {24, 36, 48, 60}},
        {"two keys repeat an octave up", {press(67), press(60)}, {60, 67, 72, 79}},
        {"two keys more than an octave apart", {press(40), press(60)}, {40, 60, 52, 72}},
        {"three keys: the lowest again an octave up",
         {press(64), press(60), press(67)},
         {60, 64, 67, 72}},
        {"four keys in order of pitch, whatever the order pressed",
         {press(71), press(62), press(67), press(65)},
         {62, 65, 67, 71}},
        {"five keys: the four pressed last",
         {press(50), press(60), press(64), press(67), press(70)},
         {60, 64, 67, 70}},
        {"a key pressed again counts as its latest press",
         {press(50), press(60), press(64), press(67), press(50), press(70)},
         {50, 64, 67, 70}},
        {"keys below the range move up by octaves", {press(0), press(13)}, {24, 25, 36, 37}},
        {"keys above the range move down by octaves", {press(127), press(96)}, {79, 84, 79, 84}},
        {"releasing keys leaves the chord",
         {press(60), press(64), press(67), release(67), release(60)},
         {60, 64, 67, 72}},
        {"a key pressed while others are held joins them",
         {press(60), press(64), press(67), release(67), release(60), press(69)},
         {64, 69, 76, 81}},
        {"the next key after all are up starts a new chord",
         {press(60), press(64), release(60), release(64), press(55)},
         {55, 67, 79, 79}},
        {"all notes off releases every key, the chord stays",
         {press(60), press(64), release_all()},
         {60, 64, 72, 76}},
        {"after all notes off, a new chord",
         {press(60), press(64), release_all(), press(62)},
         {62, 74, 74, 74}},
        {"releasing a key never held changes nothing",
         {press(60), release(61), press(64)},
         {60, 64, 72, 76}},
    };
    for (const Case& c : cases) {
        HeldKeys keys;
        reset_held_keys(keys, LOWEST, HIGHEST);
        for (const KeyEvent& e : c.events) {
            take_key_event(keys, e);
        }
        EXPECT_TRUE(keys.has_chord) << c.what;
        EXPECT_EQ(chord_of(keys), c.chord) << c.what;
    }
}

TEST(HeldKeys, ReportsAChangeOnlyWhenATubeMoves)
{
    HeldKeys keys;
    reset_held_keys(keys, LOWEST, HIGHEST);
    EXPECT_FALSE(keys.has_chord);
    EXPECT_FALSE(take_key_event(keys, release(60)));
    EXPECT_FALSE(take_key_event(keys, release_all()));
    EXPECT_FALSE(keys.has_chord);

    EXPECT_TRUE(take_key_event(keys, press(60)));   // the first chord moves every tube
    EXPECT_FALSE(take_key_event(keys, press(60)));  // pressed again while held
    EXPECT_FALSE(take_key_event(keys, release(60)));
    EXPECT_FALSE(take_key_event(keys, press(60)));  // a new chord, the same as before
    EXPECT_EQ(chord_of(keys), (std::vector<float>{60, 72, 84, 84}));
    EXPECT_TRUE(take_key_event(keys, press(64)));
    EXPECT_FALSE(take_key_event(keys, press(200)));  // not a key: ignored
    EXPECT_EQ(chord_of(keys), (std::vector<float>{60, 64, 72, 76}));
}

TEST(HeldKeys, LongRandomSessionsFollowThePlayersRules)
{
    std::mt19937 rng(11);
    for (int session = 0; session < 200; ++session) {
        HeldKeys keys;
        reset_held_keys(keys, LOWEST, HIGHEST);
        HeldModel model;
        // Narrow key spans make re-presses and releases of held keys common.
        std::uniform_int_distribution<int> key(session % 2 ? 0 : 55, session % 2 ? 127 : 70);
        for (int step = 0; step < 300; ++step) {
            const int roll = int(rng() % 16);
            const KeyEvent e = roll == 0  ? release_all()
                               : roll < 8 ? press(key(rng))
                                          : release(key(rng));
            const std::vector<float> before = model.chord;
            const bool changed = take_key_event(keys, e);
            model.take(e);
            ASSERT_EQ(keys.count, int(model.held.size())) << session << " " << step;
            ASSERT_TRUE(std::equal(model.held.begin(), model.held.end(), keys.order));
            ASSERT_EQ(chord_of(keys),
                      model.chord.empty() ? std::vector<float>(4, 0.0f) : model.chord);
            ASSERT_EQ(changed, model.chord != before) << session << " " << step;
            for (float note : model.chord) {
                ASSERT_TRUE(note >= LOWEST && note <= HIGHEST);
            }
        }
    }
}

// A running chord leaves a tube whose note stays exactly as it was: no glide,
// and a tube inverted by a decay change stays inverted. Tubes share nothing,
// so each tube's output is compared with an instance whose notes never moved.
TEST(HeldKeys, ATubeWhoseNoteStaysIsUntouchedByTheChord)
{
    constexpr uint32_t BLOCK = 4096;
    PluginHarness played(48000.0, BLOCK);
    PluginHarness still(48000.0, BLOCK);
    // Past the new instance's glide to its notes, which would hold requests back.
    played.run(6 * BLOCK);
    still.run(6 * BLOCK);
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> noise(-0.5f, 0.5f);
    HeldKeys keys;
    reset_held_keys(keys, LOWEST, HIGHEST);
    // The knobs' chord, held: 60 64 67 72.
    for (int key : {60, 64, 67}) take_key_event(keys, press(key));

    const std::vector<std::vector<KeyEvent>> progression = {
        {press(71)},                                       // tube 4 to 71
        {release(71), press(72)},                          // back to 72
        {release(67), press(69)},                          // tube 3 to 69: 60 64 69 72
        {release_all(), press(60), press(64), press(67)},  // the first chord again
    };
    bool moved[TUBE_COUNT] = {};
    for (size_t step = 0; step <= progression.size(); ++step) {
        for (int i = 0; i < TUBE_COUNT; ++i) {
            for (float& x : played.in[i]) x = noise(rng);
            still.in[i] = played.in[i];
        }
        if (step == 1) {
            played.control.decay = 150.0f;  // inverts every tube of both
            still.control.decay = 150.0f;
        }
        if (step > 0) {
            for (const KeyEvent& e : progression[step - 1]) take_key_event(keys, e);
            // The engine's note operation compares first: an unchanged note is left alone.
            for (int i = 0; i < TUBE_COUNT; ++i) {
                set_tube(played.bank(), i, set_note, keys.chord[i]);
            }
        }
        played.run(BLOCK);
        still.run(BLOCK);
        for (int i = 2; i < TUBE_COUNT; ++i) {
            moved[i] = moved[i] || std::memcmp(played.out[i].data(), still.out[i].data(),
                                               BLOCK * sizeof(float)) != 0;
        }
        for (int i = 0; i < 2; ++i) {  // tubes 1 and 2 keep 60 and 64 throughout
            ASSERT_EQ(0,
                      std::memcmp(played.out[i].data(), still.out[i].data(), BLOCK * sizeof(float)))
                << "tube " << i + 1 << " step " << step;
            const Tube a = played.tube(i);
            const Tube b = still.tube(i);
            ASSERT_EQ(0, std::memcmp(&a, &b, sizeof(Tube))) << "tube " << i + 1;
        }
    }
    EXPECT_LT(played.tube(0).feedback, 0.0f);  // still inverted by the decay change
    EXPECT_TRUE(moved[2] && moved[3]);         // the tubes the chord moved did change
}
