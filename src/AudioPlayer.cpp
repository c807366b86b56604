#include "AudioPlayer.h"

#include <FL/Fl.H>
#include <alsa/asoundlib.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <iostream>

using std::cout;
using std::string;

// The device holds this much ahead of the ear: enough that a slow redraw of a
// large view between two feeds does not run it dry. Stop drops it at once; a
// new volume is heard once the queued part has played.
static const unsigned int DEVICE_LATENCY_US = 200000;
static const double FEED_INTERVAL = 0.01;

static void feedTick(void* player) {
    AudioPlayer* audio = static_cast<AudioPlayer*>(player);
    audio->feed();
    if (audio->playing()) Fl::repeat_timeout(FEED_INTERVAL, feedTick, player);
}

AudioPlayer::AudioPlayer(const bool& stopRequest, const float& volume) : stopRequest(stopRequest), volume(volume) {}

AudioPlayer::~AudioPlayer() { stop(); }

// The slider starts in the middle at the file's own level (gain exactly 1,
// samples unchanged). Above it each step adds 2.4 dB, up to +12 dB at 10 for a
// quiet take; below it each step takes 6 dB away, down to -24 dB at 1; 0 is silence.
static const double MIDDLE_VOLUME = 5.0;
static const double DB_PER_STEP_UP = 2.4;
static const double DB_PER_STEP_DOWN = 6.0;

float AudioPlayer::gainForVolume(float volume) {
    if (!(volume > 0.0f)) return 0.0f;
    double steps = std::min(static_cast<double>(volume), 10.0) - MIDDLE_VOLUME;
    double decibels = steps * (steps > 0.0 ? DB_PER_STEP_UP : DB_PER_STEP_DOWN);
    return static_cast<float>(std::pow(10.0, decibels / 20.0));
}

// A raised level would take peaks past full scale: they are clipped there.
void AudioPlayer::scaleSamples(const float* in, float* out, size_t count, float gain) {
    for (size_t i = 0; i < count; i++) out[i] = std::clamp(in[i] * gain, -1.0f, 1.0f);
}

// Full scale is 32768 so a 16-bit source comes back exactly; the top step is
// clipped to fit.
void AudioPlayer::toShortSamples(const float* in, short* out, size_t count, float gain) {
    for (size_t i = 0; i < count; i++) {
        float level = std::clamp(in[i] * gain * 32768.0f, -32768.0f, 32767.0f);
        out[i] = static_cast<short>(std::lrint(level));
    }
}

string AudioPlayer::play(const float* samples, FrameRange range, int channelCount, int rate) {
    stop();
    if (!samples || range.end <= range.first || channelCount < 1) return "";
    channels = channelCount;
    string problem = open(rate);
    if (!problem.empty()) {
        if (problemTold) return "";
        problemTold = true;
        return problem;
    }
    queued.assign(samples + static_cast<size_t>(range.first) * channels,
                  samples + static_cast<size_t>(range.end) * channels);
    firstFrame = range.first;
    framesWritten = 0;
    draining = false;
    feed();
    if (playing()) Fl::add_timeout(FEED_INTERVAL, feedTick, this);
    return "";
}

// Floats reach the device untouched; 16-bit integers are what every device takes.
static bool acceptsFloat(snd_pcm_t* pcm) {
    snd_pcm_hw_params_t* params;
    snd_pcm_hw_params_alloca(&params);
    return snd_pcm_hw_params_any(pcm, params) >= 0 &&
           snd_pcm_hw_params_test_format(pcm, params, SND_PCM_FORMAT_FLOAT) == 0;
}

string AudioPlayer::open(int rate) {
    int error = snd_pcm_open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
    if (error < 0) {
        pcm = nullptr;
        return string("No audio output device: ") + snd_strerror(error);
    }
    floatOutput = acceptsFloat(pcm);
    error = snd_pcm_set_params(pcm, floatOutput ? SND_PCM_FORMAT_FLOAT : SND_PCM_FORMAT_S16,
                               SND_PCM_ACCESS_RW_INTERLEAVED, channels, rate, 1, DEVICE_LATENCY_US);
    snd_pcm_uframes_t bufferFrames = 0, periodFrames = 0;
    if (error >= 0) error = snd_pcm_get_params(pcm, &bufferFrames, &periodFrames);
    if (error < 0) {
        snd_pcm_close(pcm);
        pcm = nullptr;
        return "The audio output device cannot play " + std::to_string(channels) + " channels at " +
               std::to_string(rate) + " Hz: " + snd_strerror(error);
    }
    deviceBufferFrames = static_cast<int>(bufferFrames);
    return "";
}

void AudioPlayer::stop() {
    if (!pcm) return;
    int heard = framesHeard();
    snd_pcm_drop(pcm);
    finish(heard);
}

void AudioPlayer::feed() {
    if (!pcm) return;
    if (stopRequest) {
        stop();
        return;
    }
    if (!draining) {
        writeWhatFits();
        if (!pcm || framesWritten < queued.size() / channels) return;
        // Non-blocking: the device plays out what it holds while the window goes on.
        snd_pcm_drain(pcm);
        draining = true;
    }
    snd_pcm_state_t state = snd_pcm_state(pcm);
    if (state != SND_PCM_STATE_DRAINING && state != SND_PCM_STATE_RUNNING) finish(framesHeard());
}

void AudioPlayer::writeWhatFits() {
    snd_pcm_sframes_t room = snd_pcm_avail_update(pcm);
    if (room < 0) {
        recover(static_cast<int>(room));
        return;
    }
    size_t remaining = queued.size() / channels - framesWritten;
    size_t count = std::min({static_cast<size_t>(room), remaining, static_cast<size_t>(deviceBufferFrames)});
    if (count == 0) return;
    long written = writeFrames(count);
    if (written == -EAGAIN) return;
    if (written < 0) {
        recover(static_cast<int>(written));
        return;
    }
    framesWritten += written;
}

long AudioPlayer::writeFrames(size_t count) {
    const float* from = queued.data() + framesWritten * channels;
    size_t values = count * channels;
    float gain = gainForVolume(volume);
    if (floatOutput) {
        floatBlock.resize(values);
        scaleSamples(from, floatBlock.data(), values, gain);
        return snd_pcm_writei(pcm, floatBlock.data(), count);
    }
    shortBlock.resize(values);
    toShortSamples(from, shortBlock.data(), values, gain);
    return snd_pcm_writei(pcm, shortBlock.data(), count);
}

// A late feed (an underrun) is recovered from and playing goes on; a device
// that went away ends the playback.
void AudioPlayer::recover(int error) {
    if (snd_pcm_recover(pcm, error, 1) >= 0) return;
    cout << "Audio output failed: " << snd_strerror(error) << "\n";
    stop();
}

int AudioPlayer::framesHeard() const {
    snd_pcm_sframes_t delay = 0;
    if (snd_pcm_delay(pcm, &delay) < 0 || delay < 0) delay = 0;
    return static_cast<int>(framesWritten - std::min(static_cast<size_t>(delay), framesWritten));
}

// Once all is heard the head rests on the last frame played, not one past it.
int AudioPlayer::headFrame() const {
    if (!pcm) return -1;
    int frames = static_cast<int>(queued.size() / channels);
    return firstFrame + std::min(framesHeard(), std::max(frames - 1, 0));
}

// The line comes after the close, when everything sent is out of the program.
void AudioPlayer::finish(int heard) {
    Fl::remove_timeout(feedTick, this);
    snd_pcm_close(pcm);
    pcm = nullptr;
    cout << "Played " << heard << " of " << queued.size() / channels << " frames\n";
    queued = std::vector<float>();
}
