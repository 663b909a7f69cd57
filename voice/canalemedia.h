#pragma once

#include "platform/session/sessiontypes.h"
#include "platform/voiceengine/audiobackend.h"
#include "platform/voiceengine/audiosettings.h"
#include "voice/canalestanza.h"

#include <QThread>

#include <functional>
#include <memory>

namespace kalimo {
namespace session {
class SessionClient;
}
class VoiceEngine;
} // namespace kalimo

namespace kalimo::voce {

// The audio devices and, for a backend that needs one, the object that
// drives it. Made on the thread that will use them.
struct MezziAudio
{
    std::unique_ptr<AudioBackend> backend;
    std::unique_ptr<QObject> guida;
};
using FabbricaAudio = std::function<MezziAudio()>;

// The room session and the voice engine on a thread of their own, so voice
// keeps flowing while the window is busy (a modal box, a pause). Voice goes
// from the engine to the session and back without passing the window.
class CanaleMedia final : public CanaleStanza
{
    Q_OBJECT

public:
    CanaleMedia(FabbricaAudio fabbrica, AudioSettings impostazioni,
                const session::SessionTimings& tempi, QObject* parent = nullptr);
    ~CanaleMedia() override;

    void EnumHosts(const QString& host, quint16 port) override;
    void StopEnumHosts() override;
    void Connect(const QString& nick, const QString& password) override;
    // The master's ticket for this nick and room, sent with the hello.
    void setBiglietto(const QString& biglietto) { m_biglietto = biglietto; }
    // The room host's key from the master: a host without it is refused.
    void setChiaveHost(const QByteArray& chiave) { m_chiaveHost = chiave; }
    void Send(const QString& testo) override;
    void ConnettiVoce(const VoiceClientConfig& config) override;
    void SetClientConfig(const VoiceClientConfig& config) override;
    void RimuoviParlante(qint32 id) override;
    AudioSettings::MemberLevel LivelloMembro(const QString& nick) const override;
    void ImpostaLivelloMembro(qint32 id, const QString& nick,
                              const AudioSettings::MemberLevel& livello) override;
    void DisconnettiVoce() override;
    void Close() override;
    void Rilascia(Oggetto oggetto) override;

private:
    void creaSulFilo(const FabbricaAudio& fabbrica, const AudioSettings& impostazioni,
                     const session::SessionTimings& tempi);
    void collega();
    // Runs `azione` on the media thread, after every request made before it.
    void sulFilo(std::function<void()> azione);
    void rilasciaTutto();

    AudioSettings m_impostazioni;
    QThread m_filo;
    QObject* m_contesto = nullptr; // lives on m_filo
    // Touched on the media thread only.
    session::SessionClient* m_client = nullptr;
    VoiceEngine* m_engine = nullptr;
    MezziAudio m_audio;
    QString m_biglietto;
    QByteArray m_chiaveHost;
};

} // namespace kalimo::voce
