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

private:
    AudioSettings() = default;
    QString m_organisation;
    QString m_application;
    QString m_file;
};

} // namespace kalimo
