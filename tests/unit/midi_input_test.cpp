#include "plugin/midi_input.h"

#include <gtest/gtest.h>
#include <lv2/atom/atom.h>
#include <lv2/midi/midi.h>
#include <lv2/urid/urid.h>

#include <cstring>
#include <string>
#include <vector>

#include "urid_map.h"

namespace {

LV2_URID urid(const char* uri)
{
    return map_uri(nullptr, uri);
}

// An atom sequence laid out byte by byte, so that a test can write what no
// forge would: sizes that run past the end, stamps out of order.
class Sequence {
public:
    explicit Sequence(uint32_t unit = 0) : bytes_(sizeof(LV2_Atom_Sequence), 0)
    {
        header().atom.type = urid(LV2_ATOM__Sequence);
        header().body.unit = unit;
    }

    Sequence& event(int64_t frame, uint32_t type, std::vector<uint8_t> body)
    {
        return raw_event(frame, type, uint32_t(body.size()), body);
    }

    // An event whose header claims `size` bytes of body, followed by `body`.
    Sequence& raw_event(int64_t frame, uint32_t type, uint32_t size, std::vector<uint8_t> body)
    {
        LV2_Atom_Event e{};
        e.time.frames = frame;
        e.body.type = type;
        e.body.size = size;
        append(&e, sizeof e);
        append(body.data(), body.size());
        bytes_.resize((bytes_.size() + 7) / 8 * 8, 0);
        return *this;
    }

    // The atom's size as the host states it: its contents, or what is given.
    const LV2_Atom_Sequence* get(long size = -1)
    {
        header().atom.size =
            size >= 0 ? uint32_t(size) : uint32_t(bytes_.size() - sizeof(LV2_Atom));
        aligned_.assign((bytes_.size() + 7) / 8 + 1, 0);
        std::memcpy(aligned_.data(), bytes_.data(), bytes_.size());
        return reinterpret_cast<const LV2_Atom_Sequence*>(aligned_.data());
    }

    void retype(uint32_t type) { header().atom.type = type; }

private:
    LV2_Atom_Sequence& header() { return *reinterpret_cast<LV2_Atom_Sequence*>(bytes_.data()); }
    void append(const void* data, size_t size)
    {
        const auto* p = static_cast<const uint8_t*>(data);
        bytes_.insert(bytes_.end(), p, p + size);
    }
    std::vector<uint8_t> bytes_;
    std::vector<uint64_t> aligned_;
};

struct Read {
    uint32_t frame;
    KeyAction action;
    int key;
    bool operator==(const Read& o) const
    {
        return frame == o.frame && action == o.action &&
               (action == KeyAction::RELEASE_ALL || key == o.key);
    }
};

std::ostream& operator<<(std::ostream& out, const Read& r)
{
    const char* names[] = {"press", "release", "release all"};
    return out << "{" << r.frame << " " << names[int(r.action)] << " " << r.key << "}";
}

constexpr KeyAction PRESS = KeyAction::PRESS;
constexpr KeyAction RELEASE = KeyAction::RELEASE;
constexpr KeyAction ALL = KeyAction::RELEASE_ALL;

// A reader whose URIDs are mapped by the host's map, as instantiate maps them.
class MidiRead : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(map_midi_urids(host_features(), mapped));
        midi = mapped.midi_event;
    }
    // Every key change read from a block of `frames` frames.
    std::vector<Read> read(const LV2_Atom_Sequence* sequence, uint32_t frames = 64) const
    {
        MidiReader reader;
        begin_midi(reader, sequence, frames, mapped);
        std::vector<Read> out;
        KeyEvent e;
        while (next_key_event(reader, e)) {
            out.push_back({e.frame, e.action, e.key});
            if (out.size() > 1000) break;  // a walk that never ends is a fault too
        }
        return out;
    }

    MidiUrids mapped{};
    uint32_t midi = 0;
};

}  // namespace

TEST(MidiInput, MapsItsUridsOnlyWithTheHostsMap)
{
    MidiUrids mapped{};
    const LV2_Feature other{"http://lv2plug.in/ns/ext/options#options", nullptr};
    const LV2_Feature* none[] = {nullptr};
    const LV2_Feature* without[] = {&other, nullptr};
    const LV2_Feature* with[] = {&other, host_features()[0], nullptr};
    EXPECT_FALSE(map_midi_urids(nullptr, mapped));
    EXPECT_FALSE(map_midi_urids(none, mapped));
    EXPECT_FALSE(map_midi_urids(without, mapped));
    ASSERT_TRUE(map_midi_urids(with, mapped));
    EXPECT_EQ(mapped.sequence, urid(LV2_ATOM__Sequence));
    EXPECT_EQ(mapped.frame_time, urid(LV2_ATOM__frameTime));
    EXPECT_EQ(mapped.midi_event, urid(LV2_MIDI__MidiEvent));
}

TEST_F(MidiRead, ReadsKeyChangesInOrderAtTheirFrames)
{
    const uint32_t other = urid("http://example.org/other-event");

    Sequence s;
    s.event(0, midi, {0x90, 60, 100})                           // press, channel 1
        .event(3, midi, {0x9F, 64, 1})                          // press, channel 16, softest
        .event(5, other, {0x90, 61, 100})                       // not MIDI: passed over
        .event(7, midi, {0x90, 60, 0})                          // velocity 0: release
        .event(9, midi, {0x83, 64, 64})                         // note-off
        .event(10, midi, {0xE0, 0, 64})                         // pitch bend: ignored
        .event(11, midi, {0xB0, 64, 127})                       // sustain pedal: ignored
        .event(12, midi, {0xB2, 123, 0})                        // all notes off
        .event(13, midi, {0xB0, 120, 0})                        // all sound off
        .event(14, midi, {0xB0, 121, 0})                        // reset controllers: ignored
        .event(15, midi, {0xB0, 126, 1})                        // mono mode: ends all notes
        .event(16, midi, {0xC0, 5})                             // program change: ignored
        .event(17, midi, {0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7})  // system exclusive
        .event(18, midi, {0xF8})                                // clock
        .event(19, midi, {0x90, 0x80, 100})                     // data byte out of range
        .event(20, midi, {0x90, 72, 0xFF})                      // data byte out of range
        .event(21, midi, {0x90, 72})                            // too short
        .event(22, midi, {60, 100, 0x90})                       // no status byte
        .event(23, midi, {})                                    // empty
        .event(24, midi, {0x95, 127, 1, 0});                    // longer than the message: read
    const std::vector<Read> expected = {
        {0, PRESS, 60}, {3, PRESS, 64}, {7, RELEASE, 60}, {9, RELEASE, 64},
        {12, ALL, 0},   {13, ALL, 0},   {15, ALL, 0},     {24, PRESS, 127},
    };
    EXPECT_EQ(read(s.get()), expected);
}

TEST_F(MidiRead, StampsStayInsideTheBlockAndNeverGoBack)
{

    Sequence s(mapped.frame_time);
    s.event(-5, midi, {0x90, 40, 1})  // before the block: its start
        .event(10, midi, {0x90, 41, 1})
        .event(4, midi, {0x90, 42, 1})  // earlier than the last: at the last
        .event(12, midi, {0x90, 43, 1})
        .event(64, midi, {0x90, 44, 1})  // the block's end
        .event(1LL << 40, midi, {0x90, 45, 1})
        .event(INT64_MIN, midi, {0x90, 46, 1});
    const std::vector<Read> expected = {{0, PRESS, 40},  {10, PRESS, 41}, {10, PRESS, 42},
                                        {12, PRESS, 43}, {64, PRESS, 44}, {64, PRESS, 45},
                                        {64, PRESS, 46}};
    EXPECT_EQ(read(s.get()), expected);

    // Stamped in beats: no frame can be read, so every change takes effect
    // where the block starts, in order.
    Sequence beats(urid(LV2_ATOM__beatTime));
    beats.event(0, midi, {0x90, 50, 1}).event(7, midi, {0x80, 50, 0});
    EXPECT_EQ(read(beats.get()),
              (std::vector<Read>{{0, PRESS, 50}, {0, RELEASE, 50}}));

    // An empty block puts everything at frame 0.
    EXPECT_EQ(read(s.get(), 0).back(), (Read{0, PRESS, 46}));
}

TEST_F(MidiRead, MalformedSequencesEndTheReadingInsideTheBuffer)
{
    const std::vector<Read> first = {{1, PRESS, 60}};

    EXPECT_TRUE(read(nullptr).empty());

    // A body that claims more bytes than the sequence holds ends it.
    for (uint32_t claimed : {9u, 16u, 0xFFFFFFF0u, 0xFFFFFFFFu}) {
        Sequence s;
        s.event(1, midi, {0x90, 60, 1}).raw_event(2, midi, claimed, {0x90, 61, 1});
        EXPECT_EQ(read(s.get()), first) << claimed;
    }
    {
        // The atom's stated size cuts the sequence short: through the second
        // event's header, through the first event's body, or shorter than
        // the sequence's own body.
        Sequence s;
        s.event(1, midi, {0x90, 60, 1}).event(2, midi, {0x90, 61, 1});
        const long header = sizeof(LV2_Atom_Sequence_Body);
        const long one = sizeof(LV2_Atom_Event) + 8;
        EXPECT_EQ(read(s.get(header + one + 8)), first);
        EXPECT_EQ(read(s.get(header + one - 5)), first);  // padding short
        EXPECT_TRUE(read(s.get(header + one - 6)).empty());
        EXPECT_TRUE(read(s.get(header)).empty());
        EXPECT_TRUE(read(s.get(4)).empty());
        EXPECT_TRUE(read(s.get(0)).empty());
        EXPECT_EQ(read(s.get()).size(), 2u);
        // Not a sequence at all.
        s.retype(urid(LV2_ATOM__Chunk));
        EXPECT_TRUE(read(s.get()).empty());
    }
}
