#pragma once

#include "platform/voiceengine/audiosettings.h"
#include "platform/voiceengine/voiceconfig.h"
#include "platform/voiceengine/voiceresult.h"

#include <QHash>
#include <QObject>
#include <QString>

namespace kalimo::voce {

// What the room window asks of the room session and the voice engine. Every
// request returns at once; outcomes come back as signals on the window's
// thread. The real one runs both on a media thread of their own; tests use a
// fake they drive by hand.
class CanaleStanza : public QObject
{
    Q_OBJECT

public:
    // The objects the clean-up lets go of, one by one.
    enum class Oggetto { Voce, Sessione, Radice };

    using QObject::QObject;
    ~CanaleStanza() override = default;

    virtual void EnumHosts(const QString& host, quint16 port) = 0;
    virtual void StopEnumHosts() = 0;
    virtual void Connect(const QString& nick, const QString& password) = 0;
    // One in-room message, guaranteed.
    virtual void Send(const QString& testo) = 0;
    // Opens the audio devices and sends to every player; VoceConnessa follows.
    virtual void ConnettiVoce(const VoiceClientConfig& config) = 0;
    virtual void SetClientConfig(const VoiceClientConfig& config) = 0;
    // A member left: forget its voice stream.
    virtual void RimuoviParlante(qint32 id) = 0;
    // A member's own volume and local mute, kept by nick in the user's
    // settings; applying one to member `id` saves it too.
    virtual AudioSettings::MemberLevel LivelloMembro(const QString& nick) const
    {
        return m_livelli.value(nick);
    }
    virtual void ImpostaLivelloMembro(qint32 id, const QString& nick,
                                      const AudioSettings::MemberLevel& livello)
    {
        Q_UNUSED(id);
        m_livelli.insert(nick, livello);
    }
    virtual void DisconnettiVoce() = 0;
    virtual void Close() = 0;
    virtual void Rilascia(Oggetto oggetto) = 0;

Q_SIGNALS:
    void EnumHostsResponse();
    void ConnectComplete(int risultato);
    void Receive(const QString& testo);
    void TerminateSession(int motivo);
    void VoceConnessa(const kalimo::VoiceResult& esito);
    void InputLevel(int picco);
    void OutputLevel(int picco);
    void RecordStart();
    void RecordStop();
    void ErroreAudio(const kalimo::VoiceResult& esito);

private:
    QHash<QString, AudioSettings::MemberLevel> m_livelli; // when nothing keeps them
};

} // namespace kalimo::voce
