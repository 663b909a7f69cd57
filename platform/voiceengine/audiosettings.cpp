#include "audiosettings.h"

#include <QCoreApplication>
#include <QSettings>

#include <algorithm>
#include <memory>

namespace kalimo {

namespace {

const QString kInputId = QStringLiteral("Audio/InputDevice");
const QString kInputName = QStringLiteral("Audio/InputName");
const QString kOutputId = QStringLiteral("Audio/OutputDevice");
const QString kOutputName = QStringLiteral("Audio/OutputName");
const QString kEchoCancel = QStringLiteral("Audio/EchoCancel");
const QString kMembers = QStringLiteral("Members");

// Nicks may hold any character; keys may not hold '/' or '\\'.
QString memberKey(const QString& nick, const char* field)
{
    return kMembers + QLatin1Char('/') +
           QString::fromLatin1(nick.toUtf8().toBase64(QByteArray::Base64UrlEncoding)) +
           QLatin1Char('/') + QLatin1String(field);
}

VoiceResult settled(QSettings& settings)
{
    settings.sync();
    if (settings.status() == QSettings::NoError)
        return VoiceResult::success();
    return VoiceResult::failure(
        VoiceError::InvalidArgument,
        QCoreApplication::translate("AudioSettings",
                                    "Le impostazioni audio non possono essere scritte in %1")
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
    c.echoCancel = settings->value(kEchoCancel, true).toBool();
    if (c.inputId.isEmpty() || c.outputId.isEmpty())
        return std::nullopt;
    return c;
}

VoiceResult AudioSettings::save(const AudioDeviceChoice& choice) const
{
    if (choice.inputId.isEmpty() || choice.outputId.isEmpty())
        return VoiceResult::failure(
            VoiceError::InvalidArgument,
            QCoreApplication::translate(
                "AudioSettings", "Bisogna scegliere una periferica di ingresso e una di uscita"));
    auto settings = openSettings(m_file, m_organisation, m_application);
    settings->setValue(kInputId, choice.inputId);
    settings->setValue(kInputName, choice.inputName);
    settings->setValue(kOutputId, choice.outputId);
    settings->setValue(kOutputName, choice.outputName);
    settings->setValue(kEchoCancel, choice.echoCancel);
    return settled(*settings);
}

VoiceResult AudioSettings::clear() const
{
    auto settings = openSettings(m_file, m_organisation, m_application);
    settings->remove(QStringLiteral("Audio"));
    return settled(*settings);
}

AudioSettings::MemberLevel AudioSettings::memberLevel(const QString& nick) const
{
    auto settings = openSettings(m_file, m_organisation, m_application);
    MemberLevel level;
    level.percent = std::clamp(settings->value(memberKey(nick, "Volume"), 100).toInt(), 0, 200);
    level.muted = settings->value(memberKey(nick, "Muted"), false).toBool();
    return level;
}

VoiceResult AudioSettings::saveMemberLevel(const QString& nick, const MemberLevel& level) const
{
    auto settings = openSettings(m_file, m_organisation, m_application);
    if (level == MemberLevel{}) {
        settings->remove(memberKey(nick, "Volume"));
        settings->remove(memberKey(nick, "Muted"));
    } else {
        settings->setValue(memberKey(nick, "Volume"), std::clamp(level.percent, 0, 200));
        settings->setValue(memberKey(nick, "Muted"), level.muted);
    }
    return settled(*settings);
}

} // namespace kalimo
