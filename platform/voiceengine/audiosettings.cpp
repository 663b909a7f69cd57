#include "audiosettings.h"

#include <QCoreApplication>
#include <QSettings>

#include <memory>

namespace kalimo {

namespace {

const QString kInputId = QStringLiteral("Audio/InputDevice");
const QString kInputName = QStringLiteral("Audio/InputName");
const QString kOutputId = QStringLiteral("Audio/OutputDevice");
const QString kOutputName = QStringLiteral("Audio/OutputName");

VoiceResult settled(QSettings& settings)
{
    settings.sync();
    if (settings.status() == QSettings::NoError)
        return VoiceResult::success();
    return VoiceResult::failure(
        VoiceError::InvalidArgument,
        QCoreApplication::translate("AudioSettings",
                                    "The audio settings could not be written to %1")
            .arg(settings.fileName()));
}

} // namespace

AudioSettings::AudioSettings(QString organisation, QString application)
    : m_organisation(std::move(organisation)), m_application(std::move(application))
{
}

AudioSettings AudioSettings::atFile(QString iniPath)
{
    AudioSettings s;
    s.m_file = std::move(iniPath);
    return s;
}

static std::unique_ptr<QSettings> openSettings(const QString& file, const QString& org,
                                               const QString& app)
{
    if (!file.isEmpty())
        return std::make_unique<QSettings>(file, QSettings::IniFormat);
    return std::make_unique<QSettings>(org, app);
}

std::optional<AudioDeviceChoice> AudioSettings::load() const
{
    auto settings = openSettings(m_file, m_organisation, m_application);
    AudioDeviceChoice c;
    c.inputId = settings->value(kInputId).toByteArray();
    c.inputName = settings->value(kInputName).toString();
    c.outputId = settings->value(kOutputId).toByteArray();
    c.outputName = settings->value(kOutputName).toString();
    if (c.inputId.isEmpty() || c.outputId.isEmpty())
        return std::nullopt;
    return c;
}

VoiceResult AudioSettings::save(const AudioDeviceChoice& choice) const
{
    if (choice.inputId.isEmpty() || choice.outputId.isEmpty())
        return VoiceResult::failure(
            VoiceError::InvalidArgument,
            QCoreApplication::translate("AudioSettings",
                                        "Both an input and an output device must be chosen"));
    auto settings = openSettings(m_file, m_organisation, m_application);
    settings->setValue(kInputId, choice.inputId);
    settings->setValue(kInputName, choice.inputName);
    settings->setValue(kOutputId, choice.outputId);
    settings->setValue(kOutputName, choice.outputName);
    return settled(*settings);
}

VoiceResult AudioSettings::clear() const
{
    auto settings = openSettings(m_file, m_organisation, m_application);
    settings->remove(QStringLiteral("Audio"));
    return settled(*settings);
}

} // namespace kalimo
