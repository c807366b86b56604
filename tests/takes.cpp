#include "takes.h"

#include <algorithm>
#include <cmath>
#include <random>

#include <sndfile.h>

#include <cstdlib>
#include <fstream>

#include "signals.h"

namespace takes {

namespace {

double midiToHz(double midi) { return 440.0 * std::pow(2.0, (midi - 69.0) / 12.0); }

// Where each voice sings and the vowel it sings on: three formants, in Hz.
struct Register {
    int lowest, highest;
    double formants[3];
};

Register registerOf(Voice voice) {
    switch (voice) {
        case Voice::low:
            return {40, 57, {300.0, 870.0, 2240.0}};  // E2 to A3 on "oo"
        case Voice::high:
            return {64, 84, {850.0, 1220.0, 2810.0}};  // E4 to C6 on "ah"
        default:
            return {52, 69, {570.0, 840.0, 2410.0}};  // E3 to A4 on "aw"
    }
}

const char* nameOf(Voice voice) {
    switch (voice) {
        case Voice::low: return "low";
        case Voice::high: return "high";
        default: return "middle";
    }
}

// One note as the singer sings it.
struct SungNote {
    WrittenNote written;
    double pitch;        // where it sits, in semitones
    bool legato;         // glides in from the note before
    double scoop;        // semitones below the note it starts at, when it does not glide in
    double drift;        // semitones it moves by over its length, centred on where it sits
    double vibratoHz;
};

const double GLIDE_SECONDS = 0.06;       // a legato change, centred on the written change
const double SCOOP_SECONDS = 0.12;       // a scoop rises into the note over this long
const double VIBRATO_DELAY = 0.2;        // vibrato grows in after the note has sounded this long
const double FADE_SECONDS = 0.03;        // onsets and releases around a rest
const double HIGHEST_HARMONIC_HZ = 12000.0;
const double BREATH_LEVEL = 0.004;       // aspiration under the voice: some noise above 8 kHz

std::vector<SungNote> compose(const Singing& singing, double seconds, uint64_t seed) {
    std::mt19937_64 random(seed);
    auto uniform = [&](double a, double b) { return std::uniform_real_distribution<double>(a, b)(random); };
    Register reg = registerOf(singing.voice);
    std::vector<SungNote> notes;
    int note = (reg.lowest + reg.highest) / 2;
    double t = 0.15;
    while (t < seconds - 0.5) {
        double length = uniform(singing.shortestSeconds, singing.longestSeconds);
        bool legato = !notes.empty() && uniform(0.0, 1.0) < singing.legatoShare;
        if (!notes.empty()) {
            int step = 0;
            while (step == 0) step = static_cast<int>(std::lround(uniform(-4.4, 4.4)));
            if (note + step < reg.lowest || note + step > reg.highest) step = -step;
            note += step;
        }
        if (!legato && !notes.empty()) t += uniform(0.1, 0.3);  // a rest
        // Every draw happens whatever is used, so every detuning of a seed keeps its notes.
        double sign = uniform(0.0, 1.0) < 0.5 ? -1.0 : 1.0, cents = singing.detuneCents + uniform(0.0, 20.0);
        double detune = singing.detuned ? sign * cents : 0.0;
        // Nobody sings two notes a semitone apart less than half a semitone apart.
        if (!notes.empty() && std::fabs(note + detune / 100.0 - notes.back().pitch) < 0.5) detune = -detune;
        double scoop = uniform(0.0, 1.0) < singing.scoopShare ? uniform(0.5, 2.0) : 0.0;
        double drift = uniform(0.0, 1.0) < singing.driftShare ? uniform(-0.4, 0.4) : 0.0;
        double vibratoHz = uniform(4.5, 6.5);
        notes.push_back({{note, t, t + length}, note + detune / 100.0, legato, legato ? 0.0 : scoop, drift, vibratoHz});
        t += length;
    }
    return notes;
}

double smoothStep(double u) { return u <= 0.0 ? 0.0 : u >= 1.0 ? 1.0 : u * u * (3.0 - 2.0 * u); }

// The sung pitch of note k at time t, without vibrato.
double pitchOf(const std::vector<SungNote>& notes, size_t k, double t) {
    const SungNote& n = notes[k];
    double into = t - n.written.start;
    double length = n.written.end - n.written.start;
    double pitch = n.pitch + n.drift * (smoothStep(into / length) - 0.5) - n.scoop * (1.0 - smoothStep(into / SCOOP_SECONDS));
    if (n.legato && into < GLIDE_SECONDS / 2) {
        double from = notes[k - 1].pitch + notes[k - 1].drift / 2;
        pitch = from + (pitch - from) * smoothStep(0.5 + into / GLIDE_SECONDS);
    }
    if (k + 1 < notes.size() && notes[k + 1].legato && n.written.end - t < GLIDE_SECONDS / 2) {
        double to = notes[k + 1].pitch - notes[k + 1].drift / 2;
        pitch = pitch + (to - pitch) * smoothStep(0.5 - (n.written.end - t) / GLIDE_SECONDS);
    }
    return pitch;
}

// Loudness of note k at time t: fades only where a rest parts it from its neighbours.
double levelOf(const std::vector<SungNote>& notes, size_t k, double t) {
    const SungNote& n = notes[k];
    double level = 1.0;
    if (!n.legato) level = std::min(level, smoothStep((t - n.written.start) / FADE_SECONDS + 0.5));
    bool restAfter = k + 1 == notes.size() || !notes[k + 1].legato;
    if (restAfter) level = std::min(level, smoothStep((n.written.end - t) / FADE_SECONDS + 0.5));
    return level;
}

// The vowel: a source falling 6 dB an octave through three resonances, each lifting the
// harmonics near it by up to 11 dB.
double harmonicAmplitude(int harmonic, double hz, const double formants[3]) {
    const double widths[3] = {80.0, 100.0, 140.0};
    const double gains[3] = {1.0, 0.6, 0.3};
    double filter = 0.4;
    for (int f = 0; f < 3; f++) {
        double d = (hz - formants[f]) / widths[f];
        filter += gains[f] / (1.0 + d * d);
    }
    return filter / harmonic;
}

std::vector<float> sing(const std::vector<SungNote>& notes, const Singing& singing, double seconds, int rate,
                        uint64_t seed) {
    Register reg = registerOf(singing.voice);
    signals::Noise noise(seed ^ 0x5eed);
    std::vector<float> out(static_cast<size_t>(seconds * rate), 0.0f);
    double phase = 0.0, vibratoPhase = 0.0, breath = 0.0;
    size_t k = 0;
    std::vector<double> amplitudes;
    for (size_t i = 0; i < out.size(); i++) {
        double t = static_cast<double>(i) / rate;
        while (k + 1 < notes.size() && t >= notes[k + 1].written.start) k++;
        const SungNote& n = notes[k];
        double level = t < n.written.start - FADE_SECONDS / 2 || t > n.written.end + FADE_SECONDS / 2 ? 0.0
                                                                                                        : levelOf(notes, k, t);
        if (level <= 0.0) {
            // Between phrases: digital silence after even notes, a breath after odd ones.
            out[i] = k % 2 ? static_cast<float>(0.3 * BREATH_LEVEL * noise.uniform()) : 0.0f;
            continue;
        }
        double vibratoDepth = singing.vibratoSemitones * smoothStep((t - n.written.start - VIBRATO_DELAY) / 0.2);
        vibratoPhase += 2.0 * M_PI * n.vibratoHz / rate;
        double midi = pitchOf(notes, k, t) + vibratoDepth * std::sin(vibratoPhase);
        double hz = 440.0 * std::pow(2.0, (midi - 69.0) / 12.0);
        phase = std::fmod(phase + 2.0 * M_PI * hz / rate, 2.0 * M_PI);
        if (i % 64 == 0 || amplitudes.empty()) {
            amplitudes.clear();
            for (int h = 1; h * hz < std::min(HIGHEST_HARMONIC_HZ, rate / 2.0 - 500.0); h++)
                amplitudes.push_back(harmonicAmplitude(h, h * hz, reg.formants));
        }
        // sin(h phase) by the recurrence sin((h + 1) x) = 2 cos x sin(h x) - sin((h - 1) x).
        double twoCos = 2.0 * std::cos(phase), previous = 0.0, current = std::sin(phase), sum = 0.0;
        for (double a : amplitudes) {
            sum += a * current;
            double next = twoCos * current - previous;
            previous = current;
            current = next;
        }
        double hiss = noise.uniform();
        breath = hiss - 0.5 * breath;  // a little brighter than white
        out[i] = static_cast<float>(level * (0.12 * sum + BREATH_LEVEL * breath));
    }
    return out;
}

}  // namespace

Take sungLine(const Singing& singing, double seconds, int rate, uint64_t seed) {
    std::vector<SungNote> notes = compose(singing, seconds, seed);
    Take take;
    take.name = describe(singing) + "_seed" + std::to_string(seed);
    take.rate = rate;
    take.samples = sing(notes, singing, seconds, rate, seed);
    for (const SungNote& n : notes) take.notes.push_back(n.written);
    Register reg = registerOf(singing.voice);
    take.lowestHz = midiToHz(reg.lowest - 3);
    take.highestHz = midiToHz(reg.highest + 3);
    return take;
}

std::vector<Take> sungLines(double seconds, int rate, uint64_t seed) {
    std::vector<Take> lines;
    for (Voice voice : {Voice::low, Voice::middle, Voice::high}) {
        for (bool detuned : {false, true}) {
            Singing singing;
            singing.voice = voice;
            singing.detuned = detuned;
            singing.detuneCents = 20.0;
            lines.push_back(sungLine(singing, seconds, rate, seed));
        }
    }
    return lines;
}

std::string describe(const Singing& singing) {
    std::string text = std::string(nameOf(singing.voice)) + "_voice";
    if (singing.detuned) text += "_detuned" + std::to_string(static_cast<int>(singing.detuneCents)) + "c";
    else text += "_in_tune";
    return text;
}

// ------------------------------------------------------------------ played lines

void putVariableLength(std::vector<unsigned char>& out, unsigned value) {
    unsigned char bytes[5];
    int count = 0;
    do {
        bytes[count++] = value & 0x7F;
        value >>= 7;
    } while (value);
    while (count > 1) out.push_back(bytes[--count] | 0x80);
    out.push_back(bytes[0]);
}

static void putBigEndian(std::vector<unsigned char>& out, unsigned value, int bytes) {
    for (int k = bytes - 1; k >= 0; k--) out.push_back((value >> (8 * k)) & 0xFF);
}

std::vector<unsigned char> midiFileOfTrack(std::vector<unsigned char> track) {
    putVariableLength(track, 500);
    for (unsigned char b : {0xFF, 0x2F, 0x00}) track.push_back(b);
    std::vector<unsigned char> file = {'M', 'T', 'h', 'd'};
    putBigEndian(file, 6, 4);
    putBigEndian(file, 0, 2);
    putBigEndian(file, 1, 2);
    putBigEndian(file, 1000, 2);
    for (char c : {'M', 'T', 'r', 'k'}) file.push_back(static_cast<unsigned char>(c));
    putBigEndian(file, static_cast<unsigned>(track.size()), 4);
    file.insert(file.end(), track.begin(), track.end());
    return file;
}

static const char* const SOUND_FONT = "/usr/share/sounds/sf2/TimGM6mb.sf2";

std::string fluidsynthSoundFont(std::string& whyNot) {
    if (std::system("command -v fluidsynth > /dev/null 2>&1") != 0) {
        whyNot = "fluidsynth is not installed";
        return "";
    }
    if (!std::ifstream(SOUND_FONT)) {
        whyNot = std::string("no soundfont at ") + SOUND_FONT;
        return "";
    }
    return SOUND_FONT;
}

std::vector<float> renderWithFluidsynth(const std::vector<unsigned char>& midi, const std::string& folder,
                                        const std::string& name) {
    std::string midiPath = folder + "/" + name + ".mid";
    std::string wavPath = folder + "/44100Hz_" + name + ".wav";
    std::ofstream(midiPath, std::ios::binary).write(reinterpret_cast<const char*>(midi.data()), midi.size());
    std::string command = "fluidsynth -ni -q -R 0 -C 0 -g 0.5 -r 44100 -F '" + wavPath + "' " + SOUND_FONT + " '" +
                          midiPath + "' > /dev/null 2>&1";
    if (std::system(command.c_str()) != 0) return {};
    SF_INFO info{};
    SNDFILE* file = sf_open(wavPath.c_str(), SFM_READ, &info);
    if (!file) return {};
    std::vector<float> interleaved(static_cast<size_t>(info.frames * info.channels));
    interleaved.resize(static_cast<size_t>(sf_read_float(file, interleaved.data(), interleaved.size())));
    sf_close(file);
    if (info.samplerate != 44100 || info.channels < 1) return {};
    std::vector<float> mono(interleaved.size() / info.channels);
    for (size_t i = 0; i < mono.size(); i++) {
        for (int c = 0; c < info.channels; c++) mono[i] += interleaved[i * info.channels + c] / info.channels;
    }
    return mono;
}

namespace {

struct Instrument {
    const char* name;
    int program;
    int lowest, highest;
};

struct Event {
    int ms;
    int order;  // at one time: bends and controllers before note-ons, note-offs after
    std::vector<int> bytes;
};

void addNote(std::vector<Event>& events, int note, int cents, int start, int end, bool vibrato) {
    int bend = 8192 + cents * 8192 / 200;  // a bend range of two semitones
    events.push_back({start, 0, {0xE0, bend & 0x7F, (bend >> 7) & 0x7F}});
    events.push_back({start, 0, {0xB0, 1, vibrato ? 50 : 0}});
    events.push_back({start, 1, {0x90, note, 96}});
    events.push_back({end, 2, {0x80, note, 0}});
}

std::vector<unsigned char> midiOf(std::vector<Event> events, int program) {
    std::stable_sort(events.begin(), events.end(),
                     [](const Event& a, const Event& b) { return a.ms != b.ms ? a.ms < b.ms : a.order < b.order; });
    std::vector<unsigned char> track;
        putVariableLength(track, 0);
    for (unsigned char b : {0xFF, 0x51, 0x03, 0x0F, 0x42, 0x40}) track.push_back(b);  // one second a quarter
    // The program, and the legato pedal: a note played before the last one ends glides on without a new attack.
    for (std::vector<int> head : {std::vector<int>{0xC0, program}, {0xB0, 68, 127}}) {
        putVariableLength(track, 0);
        for (int b : head) track.push_back(static_cast<unsigned char>(b));
    }
    int now = 0;
    for (const Event& e : events) {
        putVariableLength(track, e.ms - now);
        for (int b : e.bytes) track.push_back(static_cast<unsigned char>(b));
        now = e.ms;
    }
    return midiFileOfTrack(track);
}

Take playedLine(const Instrument& instrument, bool detuned, const std::string& folder, uint64_t seed) {
    std::mt19937_64 random(seed);
    auto uniform = [&](double a, double b) { return std::uniform_real_distribution<double>(a, b)(random); };
    std::vector<Event> events;
    Take take;
    int note = (instrument.lowest + instrument.highest) / 2;
    int t = 200, sungCents = 0;
    while (t < 14000) {
        int length = static_cast<int>(uniform(300.0, 900.0));
        bool legato = !take.notes.empty() && uniform(0.0, 1.0) < 0.6;
        if (!take.notes.empty()) {
            int step = 0;
            while (step == 0) step = static_cast<int>(std::lround(uniform(-4.4, 4.4)));
            if (note + step < instrument.lowest || note + step > instrument.highest) step = -step;
            note += step;
            if (!legato) t += static_cast<int>(uniform(150.0, 400.0));
        }
        int cents = static_cast<int>((uniform(0.0, 1.0) < 0.5 ? -1 : 1) * uniform(20.0, 40.0));
        // Nobody plays two notes a semitone apart less than half a semitone apart.
        if (!take.notes.empty() && std::abs(note * 100 + cents - sungCents) < 50) cents = -cents;
        bool vibrato = uniform(0.0, 1.0) < 0.5;
        int nextStartsAt = t + length;
        // A legato note starts 30 ms before the note before it ends, so the pedal joins them.
        if (legato) events.back().ms = t + 30;
        addNote(events, note, detuned ? cents : 0, t, nextStartsAt, vibrato);
        take.notes.push_back({note, t / 1000.0, nextStartsAt / 1000.0});
        sungCents = note * 100 + cents;
        t = nextStartsAt;
    }
    take.name = std::string(instrument.name) + (detuned ? "_detuned" : "_in_tune") + "_seed" + std::to_string(seed);
    take.samples = renderWithFluidsynth(midiOf(events, instrument.program), folder, take.name);
    take.lowestHz = midiToHz(instrument.lowest - 3);
    take.highestHz = midiToHz(instrument.highest + 3);
    return take;
}

}  // namespace

std::vector<Take> playedLines(bool detuned, const std::string& folder, std::string& whyNot) {
    if (fluidsynthSoundFont(whyNot).empty()) return {};
    const Instrument instruments[] = {{"voice_oohs", 53, 55, 72},
                                      {"voice_oohs_low", 53, 40, 57},
                                      {"cello", 42, 36, 57},
                                      {"flute", 73, 67, 88},
                                      {"violin", 40, 55, 84}};
    std::vector<Take> lines;
    uint64_t seed = 21;
    for (const Instrument& instrument : instruments) {
        lines.push_back(playedLine(instrument, detuned, folder, seed++));
        if (lines.back().samples.empty()) {
            whyNot = "fluidsynth could not render " + lines.back().name;
            return {};
        }
    }
    return lines;
}

}  // namespace takes
