#pragma once

#include "voiceresult.h"

#include <QByteArray>
#include <QString>

#include <optional>

namespace kalimo {

// The input and output device the user chose in the audio set-up.
struct AudioDeviceChoice
{
    QByteArray inputId;
    QString inputName;
    QByteArray outputId;
    QString outputName;
    bool echoCancel = true;

    friend bool operator==(const AudioDeviceChoice&, const AudioDeviceChoice&) = default;
};

// Where the choice is kept: the user's settings under an organisation and
// application name, or an ini file (tests).
class AudioSettings final
{
public:
    AudioSettings(QString organisation, QString application);
    static AudioSettings atFile(QString iniPath);

    // Nothing when no complete choice was ever saved.
    std::optional<AudioDeviceChoice> load() const;
    VoiceResult save(const AudioDeviceChoice& choice) const;
    VoiceResult clear() const;

    // A room member's own playback level and local mute, by nick.
    struct MemberLevel
    {
        int percent = 100; // 0..200
        bool muted = false;
        friend bool operator==(const MemberLevel&, const MemberLevel&) = default;
    };
    MemberLevel memberLevel(const QString& nick) const;
    VoiceResult saveMemberLevel(const QString& nick, const MemberLevel& level) const;

private:
    AudioSettings() = default;
    QString m_organisation;
    QString m_application;
    QString m_file;
};

} // namespace kalimo
