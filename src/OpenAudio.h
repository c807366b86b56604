#ifndef OPENAUDIO_H
#define OPENAUDIO_H

#include <sndfile.h>

#include <string>

// Opens an audio file for reading, never blocking: anything but a regular file
// (a named pipe, a device, a folder) is refused before a byte is read. Null when
// the file cannot be read, with `problem` saying in a user's words why.
SNDFILE* openAudioFile(const std::string& path, SF_INFO& info, std::string& problem);

// True when the frame count of the stream is exact before a sample is read.
bool framesKnownBeforeReading(const SF_INFO& info);

// What a user should hear about a stream that delivered `framesRead` frames:
// "" when that is all it promised, else a sentence that names the file.
std::string shortfallNotice(SNDFILE* file, const SF_INFO& info, long long framesRead, const std::string& name);

#endif
