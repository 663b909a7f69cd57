#pragma once

#include "voiceresult.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>
#include <memory>

namespace kalimo {

// Every stream here is 48 kHz, mono, signed 16-bit.
inline constexpr int kSampleRate = 48000;
inline constexpr int samplesForMs(int ms)
{
    return kSampleRate / 1000 * ms;
}

struct AudioDevice
{
    QByteArray id; // stable across runs: what the settings store
    QString description;
    bool isDefault = false;
};

// A running capture: samples arrive through the handler given at open, on
// the thread that opened it. Destroying it stops the device.
class CaptureStream
{
public:
    virtual ~CaptureStream() = default;
};

// A running playback the owner pushes into. The backend calls the owner's
// "room to write" handler regularly; the owner writes what fits.
class PlaybackStream
{
public:
    virtual ~PlaybackStream() = default;
    // Samples that can be written now without blocking.
    virtual int samplesFree() const = 0;
    // Writes up to `count` samples; returns how many were taken.
    virtual int write(const qint16* samples, int count) = 0;
    // Samples written and not yet played: the output latency we add.
    virtual int samplesQueued() const = 0;
    // The most it holds queued: more needs a larger buffer, so reopening.
    virtual int capacity() const = 0;
    // The least the device must hold queued to play without gaps, as
    // measured for this kind of device.
    virtual int minimumQueue() const = 0;
    // Times the device ran dry since it opened.
    virtual int underruns() const = 0;
    // Of those, the times we were not there to feed it for longer than
    // what it held: a starving machine rather than too short a queue.
    virtual int lateFeeds() const { return 0; }
};

using CaptureHandler = std::function<void(const qint16* samples, int count)>;
using PlaybackHandler = std::function<void()>;
// A running device stopped on its own (unplugged, server gone).
using StreamErrorHandler = std::function<void(const VoiceResult&)>;

template <class Stream> struct OpenResult
{
    std::unique_ptr<Stream> stream;
    VoiceResult result;
};

// The audio devices of the machine, or a stand-in for them.
class AudioBackend
{
public:
    virtual ~AudioBackend() = default;

    virtual QList<AudioDevice> inputDevices() const = 0;
    virtual QList<AudioDevice> outputDevices() const = 0;

    // Opens `deviceId` (never "the default": callers choose) with a device
    // buffer of `bufferMs`. Fails with a clear result, never hangs.
    virtual OpenResult<CaptureStream> openCapture(const QByteArray& deviceId, int bufferMs,
                                                  CaptureHandler onSamples,
                                                  StreamErrorHandler onError) = 0;
    virtual OpenResult<PlaybackStream> openPlayback(const QByteArray& deviceId, int bufferMs,
                                                    PlaybackHandler onRoom,
                                                    StreamErrorHandler onError) = 0;
};

} // namespace kalimo
