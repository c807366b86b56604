#ifndef AUDIOPLAYER_H
#define AUDIOPLAYER_H

#include <cstddef>
#include <string>
#include <vector>

typedef struct _snd_pcm snd_pcm_t;

// Frames first .. end - 1 of a file; empty when end <= first.
struct FrameRange {
    int first;
    int end;
};

// Plays interleaved frames on ALSA's default output. The FLTK event loop feeds
// it with non-blocking writes, so the window stays responsive while it plays.
class AudioPlayer {
public:
    // Both are read again on every feed, so a stop request or a new volume
    // (0..10) acts on the very next buffer.
    AudioPlayer(const bool& stopRequest, const float& volume);
    ~AudioPlayer();
    AudioPlayer(const AudioPlayer&) = delete;
    AudioPlayer& operator=(const AudioPlayer&) = delete;

    // Replaces any playback with the range of samples (interleaved frames).
    // Returns why the device cannot play, the first time only, or "".
    std::string play(const float* samples, FrameRange range, int channels, int rate);
    void stop();
    bool playing() const { return pcm != nullptr; }
    // Index, in the samples given to play, of the frame being heard; -1 when idle.
    int headFrame() const;
    // Writes what the device has room for; ends the playback once all of it
    // has been heard or a stop is requested.
    void feed();

    static float gainForVolume(float volume);
    static void scaleSamples(const float* in, float* out, size_t count, float gain);
    static void toShortSamples(const float* in, short* out, size_t count, float gain);

private:
    const bool& stopRequest;
    const float& volume;
    snd_pcm_t* pcm = nullptr;
    bool floatOutput = true;
    bool draining = false;
    bool problemTold = false;
    int channels = 1;
    int firstFrame = 0;
    int deviceBufferFrames = 0;
    // The range being played, copied so that loading another file cannot pull it away.
    std::vector<float> queued;
    size_t framesWritten = 0;
    std::vector<float> floatBlock;
    std::vector<short> shortBlock;

    std::string open(int rate);
    void writeWhatFits();
    long writeFrames(size_t count);
    void recover(int error);
    void finish(int heard);
    int framesHeard() const;
};

#endif
