#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Analysis.h"
#include "NoteChanges.h"
#include "WaveHandler.h"
#include "analysischecks.h"
#include "correcting.h"
#include "listening.h"
#include "takes.h"
#include "testaudio.h"

namespace {

const int RATE = 44100;
// Half the 100 ms within which a box must start for a listener to find the note it holds.
const int BOUNDARY_MS = 50;

// One note of a legato line: its note, how far off it is sung, and how long it lasts.
struct Sung {
    int note;
    int cents;
    int ms;
};

// A legato line as a pitch curve: notes joined by straight glides of `glideMs` centred on each
// change, and a vibrato of `vibrato` semitones at 5.5 Hz throughout.
struct Line {
    std::vector<Sung> notes;
    double glideMs;
    double vibrato;

    double changeMs(size_t k) const {
        double at = 0.0;
        for (size_t j = 0; j < k; j++) at += notes[j].ms;
        return at;
    }
    double sungAt(size_t k) const { return notes[k].note + notes[k].cents / 100.0; }
    double midiAt(double seconds) const {
        double ms = 1000.0 * seconds;
        size_t k = 0;
        while (k + 1 < notes.size() && ms >= changeMs(k + 1)) k++;
        double midi = sungAt(k);
        for (size_t edge : {k, k + 1}) {
            if (edge == 0 || edge >= notes.size()) continue;
            double into = (ms - changeMs(edge)) / glideMs + 0.5;  // 0 .. 1 across the glide
            if (into > 0.0 && into < 1.0) {
                midi = sungAt(edge - 1) + (sungAt(edge) - sungAt(edge - 1)) * into;
            }
        }
        return midi + vibrato * std::sin(2.0 * M_PI * 5.5 * seconds);
    }
    int totalMs() const { return static_cast<int>(changeMs(notes.size())); }
};

std::vector<float> render(const std::function<double(double)>& midiAt, int ms) {
    return testaudio::pitchCurveTone(midiAt, ms * RATE / 1000, RATE);
}

double sampleToMs(int sample) { return 1000.0 * sample / RATE; }

// The segments as a failure message shows them: note and span in milliseconds.
std::string describe(const std::vector<WaveSegment*>& segments) {
    std::string text;
    for (const WaveSegment* s : segments) {
        text += " " + std::to_string(s->midiNumber) + "@" + std::to_string(static_cast<int>(sampleToMs(s->startSample))) +
                "-" + std::to_string(static_cast<int>(sampleToMs(s->endSample)));
    }
    return text;
}

// One segment per sung note, on its note, parted from the one before near where the line changes.
void expectOneSegmentPerNote(const std::vector<WaveSegment*>& found, const Line& line,
                             const std::vector<WaveSegment*>& all) {
    ASSERT_EQ(found.size(), line.notes.size()) << describe(all);
    for (size_t k = 0; k < found.size(); k++) {
        EXPECT_EQ(found[k]->midiNumber, line.notes[k].note) << "note " << k;
        if (k == 0) continue;
        EXPECT_NEAR(sampleToMs(found[k - 1]->endSample), line.changeMs(k), BOUNDARY_MS) << "end of note " << k - 1;
        EXPECT_NEAR(sampleToMs(found[k]->startSample), line.changeMs(k), BOUNDARY_MS) << "start of note " << k;
    }
}

// A pitch curve sampled exactly, as if every period had been read without error.
std::vector<double> exactCurve(const std::function<double(double)>& midiAt, double seconds, double rate) {
    std::vector<double> midi(static_cast<size_t>(seconds * rate));
    for (size_t i = 0; i < midi.size(); i++) midi[i] = midiAt(i / rate);
    return midi;
}

std::vector<SungNote> notesIn(const std::vector<double>& midi, double rate) {
    return findSungNotes(midi.data(), static_cast<int>(midi.size()), rate, 128.0);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The whole analysis on generated legato lines

TEST(NoteChangesLegato, EveryNoteOfALegatoLineIsItsOwnSegment) {
    const std::vector<Line> lines = {
        // Semitone steps up and down; every note off by up to 40 cents, some steps 30 cents narrow.
        {{{60, 35, 520}, {61, 5, 480}, {62, -25, 560}, {63, -40, 500}, {62, -10, 540},
          {61, 20, 470}, {60, 40, 600}, {61, 40, 520}},
         0.0, 0.0},
        // Whole tones, some far enough apart that the two-semitone rule fires as well.
        {{{64, -40, 500}, {66, 40, 450}, {68, -20, 620}, {66, -40, 500}, {64, 25, 480},
          {62, 0, 560}, {64, -30, 500}},
         0.0, 0.0},
        // Sung: 50 ms glides between notes and a vibrato of half a semitone.
        {{{67, 20, 600}, {69, -30, 550}, {70, 10, 500}, {69, 30, 650}, {67, -20, 520},
          {66, -10, 600}, {67, 5, 550}},
         50.0, 0.5},
        // Semitones sung 0.45 apart (a B 30 cents sharp, a C 25 flat), and short notes.
        {{{59, 30, 400}, {60, -25, 250}, {59, 30, 300}, {60, -25, 180}, {62, 0, 400}, {61, 25, 220},
          {62, -20, 500}},
         30.0, 0.0},
        // Semitones sung half a semitone apart through glides slow enough to stay steady.
        {{{47, 23, 300}, {48, -27, 480}, {50, -23, 330}, {49, 27, 400}}, 100.0, 0.0},
    };
    for (size_t l = 0; l < lines.size(); l++) {
        const Line& line = lines[l];
        SCOPED_TRACE("line " + std::to_string(l));
        std::vector<float> samples = render([&](double s) { return line.midiAt(s); }, line.totalMs());
        std::unique_ptr<WaveAnalysis> analysis = analysischecks::analyse(samples, RATE);
        expectOneSegmentPerNote(*analysis->segments, line, *analysis->segments);
    }
}

// Each of these is one note however its pitch moves.
TEST(NoteChangesLegato, VibratoScoopAndDriftStayOneSegment) {
    struct Tone {
        const char* name;
        int note;
        std::function<double(double)> midiAt;
    };
    const std::vector<Tone> tones = {
        {"vibrato 1.0 at 3 Hz", 62, [](double s) { return 62.0 + std::sin(2 * M_PI * 3.0 * s); }},
        {"vibrato 1.0 at 4.4 Hz", 62, [](double s) { return 62.0 - std::sin(2 * M_PI * 4.4 * s); }},
        {"vibrato 1.0 at 6 Hz", 65, [](double s) { return 65.0 - std::sin(2 * M_PI * 6.0 * s); }},
        {"vibrato 1.0 at 8 Hz", 60, [](double s) { return 60.0 + std::sin(2 * M_PI * 8.0 * s); }},
        {"scoop of 2 over 150 ms", 64, [](double s) { return 64.0 - 2.0 * std::max(0.0, 1.0 - s / 0.15); }},
        {"drift of 0.45 over 2 s", 64, [](double s) { return 63.8 + 0.45 * s / 2.0; }},
    };
    for (const Tone& tone : tones) {
        SCOPED_TRACE(tone.name);
        std::vector<float> samples = render(tone.midiAt, 2000);
        std::unique_ptr<WaveAnalysis> analysis = analysischecks::analyse(samples, RATE);
        ASSERT_EQ(analysis->segments->size(), 1u) << describe(*analysis->segments);
        EXPECT_EQ((*analysis->segments)[0]->midiNumber, tone.note);
        EXPECT_LT(sampleToMs((*analysis->segments)[0]->startSample), 30.0);
        EXPECT_GT(sampleToMs((*analysis->segments)[0]->endSample), 1970.0);
    }
}

// ---------------------------------------------------------------------------------------------
// The rule alone, on pitch curves without reading errors

TEST(NoteChangesRule, FullVibratoAndScoopAreOneNoteAtAnyPhase) {
    for (double hz : {3.0, 3.7, 4.4, 5.2, 6.0, 7.0, 8.0}) {
        for (double phase = 0.0; phase < 2 * M_PI; phase += M_PI / 4) {
            std::vector<double> midi =
                exactCurve([&](double s) { return 62.0 + std::sin(2 * M_PI * hz * s + phase); }, 3.0, 8000);
            std::vector<SungNote> notes = notesIn(midi, 8000);
            ASSERT_EQ(notes.size(), 1u) << hz << " Hz, phase " << phase;
            EXPECT_NEAR(notes[0].heldMidi, 62.0, 0.3) << hz << " Hz, phase " << phase;
        }
    }
    for (double wobble : {0.0, 0.5}) {
        std::vector<double> midi = exactCurve(
            [&](double s) { return 64.0 - 2.0 * std::max(0.0, 1.0 - s / 0.15) + wobble * std::sin(2 * M_PI * 5 * s); },
            1.5, 8000);
        std::vector<SungNote> notes = notesIn(midi, 8000);
        ASSERT_EQ(notes.size(), 1u) << "scoop with vibrato " << wobble;
        EXPECT_EQ(notes[0].start, 0) << "scoop with vibrato " << wobble;
        EXPECT_NEAR(notes[0].heldMidi, 64.0, 0.1) << "scoop with vibrato " << wobble;
    }
}

// What the note before a short rest leaves ringing, held lower than the next note and left at a
// leap, is no scoop into that note: the note starts at the leap, and the correction, which glides
// a note's start towards its target, has nothing of the release to carry into it.
TEST(NoteChangesRule, ARingingReleaseBeforeANoteIsNoPartOfIt) {
    for (double ringingMs : {80.0, 110.0, 140.0}) {
        std::vector<double> midi = exactCurve([&](double s) { return s < ringingMs / 1000.0 ? 46.2 : 48.0; }, 1.0, 8000);
        std::vector<SungNote> notes = notesIn(midi, 8000);
        ASSERT_EQ(notes.size(), 1u) << ringingMs << " ms ringing";
        EXPECT_NEAR(notes[0].start, ringingMs * 8, 8 * 4.0) << ringingMs << " ms ringing";
        EXPECT_NEAR(notes[0].heldMidi, 48.0, 1e-9) << ringingMs << " ms ringing";
    }
}

// A short note that drifts 0.4 semitone is still held, so a step from it to the note a semitone
// up parts two notes; a breath before a note, read as pitches jumping about far below it, is no
// scoop into the note: the note starts where its own pitch does; and the first swing of a vibrato
// setting in, whose peak holds for 70 ms, is no note of its own, whether the pitch turns near the
// held note or holds there again before the next note.
TEST(NoteChangesRule, DriftBreathAndVibratoSettingInAreReadAsSung) {
    auto smoothStep = [](double x) { x = std::clamp(x, 0.0, 1.0); return x * x * (3.0 - 2.0 * x); };
    auto drifting = [&](double s) {  // 57, then 260 ms of 61 falling from +20 to -20 cents, then 62
        if (s < 0.8) return 57.0 + 4.2 * smoothStep((s - 0.77) / 0.06);
        if (s < 1.06) return 61.2 - 0.4 * smoothStep((s - 0.8) / 0.26) + 1.2 * smoothStep((s - 1.03) / 0.06);
        return 62.0;
    };
    std::vector<SungNote> notes = notesIn(exactCurve(drifting, 1.6, 8000), 8000);
    ASSERT_EQ(notes.size(), 3u);
    const long sungNotes[] = {57, 61, 62};
    for (size_t k = 0; k < 3; k++) EXPECT_EQ(std::lround(notes[k].heldMidi), sungNotes[k]);

    const double breath[] = {36.5, 32.5, 35.8, 43.2, 37.5, 39.9, 46.3, 42.9};  // one reading each 8 ms
    auto breathThenNote = [&](double s) { return s < 0.12 ? breath[static_cast<int>(s / 0.008) % 8] : 74.0; };
    notes = notesIn(exactCurve(breathThenNote, 1.0, 8000), 8000);
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_NEAR(notes[0].start, 0.12 * 8000, 8000 * 0.004);
    EXPECT_NEAR(notes[0].heldMidi, 74.0, 1e-9);

    for (double nextAt : {0.46, 0.5}) {  // 65.2, up 0.45 and back to 65.04 over 200 ms, then 69.34
        auto swing = [&](double s) {
            double m = 65.2 + 0.45 * smoothStep((s - 0.26) / 0.1) - 0.61 * smoothStep((s - 0.36) / 0.1);
            return m + (69.34 - m) * smoothStep((s - nextAt) / 0.06);
        };
        notes = notesIn(exactCurve(swing, 1.1, 8000), 8000);
        ASSERT_EQ(notes.size(), 2u) << "next note at " << nextAt;
        EXPECT_NEAR(notes[0].heldMidi, 65.2, 0.05) << "next note at " << nextAt;
    }

    for (double seconds : {0.35, 0.55, 0.8}) {  // 40 cents flat of 58, drifting up 0.4 as vibrato sets in
        for (double hz : {4.5, 5.5, 6.5}) {
            auto flatAndRising = [&](double s) {
                double vibrato = 0.4 * smoothStep((s - 0.2) / 0.2) * std::sin(2.0 * M_PI * hz * s);
                return 57.6 + 0.4 * (smoothStep(s / seconds) - 0.5) + vibrato;
            };
            notes = notesIn(exactCurve(flatAndRising, seconds, 44100), 44100);
            ASSERT_EQ(notes.size(), 1u);
            EXPECT_EQ(std::lround(notes[0].heldMidi), 58) << seconds << " s, vibrato at " << hz << " Hz";
        }
    }
}

// A few periods read an octave and a half up or four semitones down, as at an onset, neither end
// the note nor move where it is held.
TEST(NoteChangesRule, PeriodsReadFarOffDoNotEndANote) {
    const double rate = 44100.0;
    std::vector<double> midi = exactCurve([](double) { return 60.3; }, 1.0, rate);
    for (int at : {1000, 20000, 30000}) std::fill(midi.begin() + at, midi.begin() + at + 300, 79.3);  // 19 up
    std::fill(midi.begin() + 40000, midi.begin() + 40400, 56.3);                                      // 4 down
    std::vector<SungNote> notes = notesIn(midi, rate);
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].start, 0);
    EXPECT_EQ(notes[0].end, static_cast<int>(midi.size()) - 1);
    EXPECT_NEAR(notes[0].heldMidi, 60.3, 1e-9);
}

TEST(NoteChangesRule, ChangesFallOnTheSameMillisecondAtEveryRateAndGapsPartNotes) {
    Line line{{{60, 0, 500}, {61, 0, 450}, {59, 0, 700}, {60, 30, 500}}, 30.0, 0.3};
    const std::vector<double> expected = {500.0, 950.0, 1650.0};
    std::vector<int> at44k;
    for (double rate : {44100.0, 8000.0, 22050.0, 96000.0}) {
        SCOPED_TRACE(rate);
        std::vector<double> midi = exactCurve([&](double s) { return line.midiAt(s); }, line.totalMs() / 1000.0, rate);
        std::vector<SungNote> notes = notesIn(midi, rate);
        ASSERT_EQ(notes.size(), expected.size() + 1);
        for (size_t k = 0; k < expected.size(); k++) {
            double ms = 1000.0 * notes[k + 1].start / rate;
            EXPECT_NEAR(ms, expected[k], BOUNDARY_MS);
            EXPECT_EQ(notes[k].end + 1, notes[k + 1].start) << "legato notes meet";
            EXPECT_EQ(std::lround(notes[k].heldMidi), line.notes[k].note);
            if (rate == 44100.0) at44k.push_back(notes[k + 1].start);
            EXPECT_NEAR(ms, sampleToMs(at44k[k]), 2.0) << "against 44.1 kHz";  // one hop of rounding
        }
        // Unpitched samples part notes, even of the same pitch.
        for (int i = static_cast<int>(0.3 * rate); i < static_cast<int>(0.31 * rate); i++) midi[i] = -1.0;
        notes = notesIn(midi, rate);
        ASSERT_EQ(notes.size(), expected.size() + 2);
        EXPECT_LT(notes[0].end, static_cast<int>(0.3 * rate));
        EXPECT_GE(notes[1].start, static_cast<int>(0.31 * rate));
    }
}

// ---------------------------------------------------------------------------------------------
// A real instrument: one held note bent from note to note, so the line is truly legato

namespace {

// A one-track file at one tick per millisecond: `program` holds `held` for the whole line while
// the pitch wheel, set to span an octave either way, moves it to each sung note in turn.
std::vector<unsigned char> bentLineFile(const Line& line, int held, int program) {
    std::vector<unsigned char> track;
    int now = 0;
    auto event = [&](int atMs, std::initializer_list<int> bytes) {
        testaudio::putVariableLength(track, static_cast<unsigned>(atMs - now));
        for (int b : bytes) track.push_back(static_cast<unsigned char>(b));
        now = atMs;
    };
    event(0, {0xFF, 0x51, 0x03, 0x0F, 0x42, 0x40});  // one second a quarter
    event(0, {0xC0, program});
    for (int rpn : {101, 100}) event(0, {0xB0, rpn, 0});  // pitch-bend range...
    event(0, {0xB0, 6, 12});                               // ...of 12 semitones
    event(0, {0xB0, 38, 0});
    for (size_t k = 0; k < line.notes.size(); k++) {
        int bend = 8192 + static_cast<int>(std::lround((line.sungAt(k) - held) * 8191.0 / 12.0));
        event(static_cast<int>(line.changeMs(k)), {0xE0, bend & 0x7F, (bend >> 7) & 0x7F});
        if (k == 0) event(0, {0x90, held, 100});
    }
    event(line.totalMs(), {0x80, held, 0});
    return testaudio::midiFileOfTrack(track);
}

}  // namespace

TEST(NoteChangesRealInstrument, BentFluteLineGivesOneSegmentPerNote) {
    std::string whyNot;
    if (testaudio::fluidsynthSoundFont(whyNot).empty()) GTEST_SKIP() << whyNot;
    const Line line{{{72, 20, 600}, {73, -10, 550}, {75, 25, 600}, {74, -15, 500}, {72, 30, 650},
                     {71, -20, 550}, {72, -35, 600}},
                    0.0, 0.0};
    std::vector<float> samples =
        testaudio::renderWithFluidsynth(bentLineFile(line, 72, 73), "flute_program73_bent_legato_seven_notes");
    ASSERT_FALSE(samples.empty()) << "fluidsynth could not render the line";
    std::unique_ptr<WaveAnalysis> analysis = analysischecks::analyse(samples, RATE);
    // The breathy attack lasts a few periods that the period search reads far too low; only
    // the notes are judged here.
    std::vector<WaveSegment*> notes;
    for (WaveSegment* s : *analysis->segments) {
        if (sampleToMs(s->endSample - s->startSample) >= 100.0) notes.push_back(s);
    }
    expectOneSegmentPerNote(notes, line, *analysis->segments);
}

// ---------------------------------------------------------------------------------------------
// Takes as a listener would judge them: a sung note counts as found when a box on its note starts
// within 100 ms of it; over all boxes and notes, nine in ten at least must agree.

namespace {

void expectBoxesFollowTheNotes(const takes::Take& take, const std::string& folder) {
    SCOPED_TRACE(take.name);
    correcting::Session session(take, folder);
    listening::BoxScore score = listening::scoreBoxes(session.boxes(), take.notes, take.rate);
    EXPECT_GE(score.fMeasure(), 0.9) << score.found << " of " << score.notes << " notes found by " << score.boxes
                                     << " boxes:" << describe(*session.document().analyzeWave->segments);
}

}  // namespace

TEST(NoteChangesTakes, SungLinesOfLowMiddleAndHighVoicesGetABoxPerNote) {
    std::string folder = testaudio::makeTempDir("takes_sung");
    for (const takes::Take& line : takes::sungLines(12.0, RATE, 41)) expectBoxesFollowTheNotes(line, folder);
}

TEST(NoteChangesTakes, LinesPlayedOnVoiceCelloFluteAndViolinGetABoxPerNote) {
    std::string folder = testaudio::makeTempDir("takes_played"), whyNot;
    if (testaudio::fluidsynthSoundFont(whyNot).empty()) GTEST_SKIP() << whyNot;
    for (bool detuned : {false, true}) {
        std::vector<takes::Take> lines = takes::playedLines(detuned, folder, whyNot);
        ASSERT_FALSE(lines.empty()) << whyNot;
        for (const takes::Take& line : lines) expectBoxesFollowTheNotes(line, folder);
    }
}
