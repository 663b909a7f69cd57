#pragma once

#include <QMetaType>
#include <QString>

namespace kalimo {

// Why a voice or audio operation failed. The numbers are stable: the voice
// client shows them in its fatal-error box.
enum class VoiceError : int {
    None = 0,
    SetupRequired = 1,     // no saved audio choice, or a saved device is gone
    NoAudioSystem = 2,     // no audio server or no device at all
    DeviceNotFound = 3,    // the requested device is not in the list
    DeviceOpenFailed = 4,  // the device exists but would not start
    FormatUnsupported = 5, // the device refuses 48 kHz mono 16-bit
    CodecFailed = 6,       // Opus or speexdsp could not be set up
    NotConnected = 7,
    AlreadyConnected = 8,
    InvalidArgument = 9,
    DeviceFailed = 10, // a running device stopped with an error
};

// A result the caller checks; `detail` is a short text in the user's language the
// caller may append to its own message.
struct VoiceResult
{
    VoiceError error = VoiceError::None;
    QString detail;

    bool ok() const { return error == VoiceError::None; }
    int code() const { return static_cast<int>(error); }

    static VoiceResult success() { return {}; }
    static VoiceResult failure(VoiceError e, const QString& text) { return {e, text}; }
};

} // namespace kalimo

Q_DECLARE_METATYPE(kalimo::VoiceResult)
