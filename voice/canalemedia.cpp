#include "voice/canalemedia.h"

#include "platform/session/sessionclient.h"
#include "platform/voiceengine/voiceengine.h"
#include "protocol/textcodec.h"

namespace kalimo::voce {

CanaleMedia::CanaleMedia(FabbricaAudio fabbrica, AudioSettings impostazioni,
                         const session::SessionTimings& tempi, QObject* parent)
    : CanaleStanza(parent), m_impostazioni(impostazioni)
{
    m_filo.setObjectName(QStringLiteral("media"));
    m_filo.start();
    m_contesto = new QObject;
    m_contesto->moveToThread(&m_filo);
    // The objects are made on the media thread: their sockets and audio
    // streams belong to the thread that made them.
    QMetaObject::invokeMethod(
        m_contesto, [&] { creaSulFilo(fabbrica, impostazioni, tempi); },
        Qt::BlockingQueuedConnection);
}

CanaleMedia::~CanaleMedia()
{
    QMetaObject::invokeMethod(
        m_contesto, [this] { rilasciaTutto(); }, Qt::BlockingQueuedConnection);
    m_filo.quit();
    m_filo.wait();
    delete m_contesto;
}

void CanaleMedia::creaSulFilo(const FabbricaAudio& fabbrica, const AudioSettings& impostazioni,
                              const session::SessionTimings& tempi)
{
    m_client = new session::SessionClient(m_contesto);
    m_client->setTimings(tempi);
    m_audio = fabbrica();
    if (m_audio.backend)
        m_engine = new VoiceEngine(*m_audio.backend, impostazioni, m_contesto);
    collega();
}

void CanaleMedia::collega()
{
    using session::SessionClient;
    // Lambdas with `this` as context run on the window's thread.
    connect(m_client, &SessionClient::EnumHostsResponse, this,
            [this] { Q_EMIT EnumHostsResponse(); });
    connect(m_client, &SessionClient::ConnectComplete, this, &CanaleStanza::ConnectComplete);
    connect(m_client, &SessionClient::TerminateSession, this, &CanaleStanza::TerminateSession);
    connect(m_client, &SessionClient::Receive, this,
            [this](const QByteArray& dati) { Q_EMIT Receive(decodeText(dati)); });
    if (!m_engine)
        return;
    VoiceEngine* engine = m_engine;
    SessionClient* client = m_client;
    connect(client, &SessionClient::VoiceReceived, engine,
            [engine](qint32 id, quint16 seq, const QByteArray& frame) {
                engine->FrameReceived(quint32(id), seq, frame);
            });
    connect(engine, &VoiceEngine::FrameEncoded, client,
            [client](const QByteArray& frame, quint16 seq) { client->SendVoice(frame, seq); });
    // Listeners tell each speaker what they lose; the speaker's redundancy follows.
    connect(engine, &VoiceEngine::ReceptionReport, client,
            [client](quint32 speaker, int loss) { client->SendLossReport(qint32(speaker), loss); });
    connect(client, &SessionClient::LossReported, engine, [engine](qint32 listener, int loss) {
        engine->ListenerReport(quint32(listener), loss);
    });
    connect(engine, &VoiceEngine::InputLevel, this, &CanaleStanza::InputLevel);
    connect(engine, &VoiceEngine::OutputLevel, this, &CanaleStanza::OutputLevel);
    connect(engine, &VoiceEngine::RecordStart, this, &CanaleStanza::RecordStart);
    connect(engine, &VoiceEngine::RecordStop, this, &CanaleStanza::RecordStop);
    connect(engine, &VoiceEngine::DeviceError, this, &CanaleStanza::ErroreAudio);
}

void CanaleMedia::sulFilo(std::function<void()> azione)
{
    QMetaObject::invokeMethod(m_contesto, std::move(azione), Qt::QueuedConnection);
}

void CanaleMedia::EnumHosts(const QString& host, quint16 port)
{
    sulFilo([this, host, port] {
        if (m_client)
            m_client->EnumHosts(host, port, session::roomApplicationGuid());
    });
}

void CanaleMedia::StopEnumHosts()
{
    sulFilo([this] {
        if (m_client)
            m_client->StopEnumHosts();
    });
}

void CanaleMedia::Connect(const QString& nick, const QString& password)
{
    sulFilo([this, nick, password, biglietto = m_biglietto, chiave = m_chiaveHost] {
        if (!m_client)
            return;
        m_client->setTicket(biglietto);
        m_client->Connect(nick, password, chiave);
    });
}

void CanaleMedia::Send(const QString& testo)
{
    sulFilo([this, dati = encodeText(testo)] {
        if (m_client)
            m_client->Send(dati, true);
    });
}

void CanaleMedia::ConnettiVoce(const VoiceClientConfig& config)
{
    sulFilo([this, config] {
        VoiceResult esito = m_engine ? m_engine->Connect(config)
                                     : VoiceResult::failure(VoiceError::NoAudioSystem,
                                                            tr("Nessun sistema audio disponibile"));
        if (esito.ok())
            esito = m_engine->SetTransmitTargets({0});
        QMetaObject::invokeMethod(
            this, [this, esito] { Q_EMIT VoceConnessa(esito); }, Qt::QueuedConnection);
    });
}

void CanaleMedia::SetClientConfig(const VoiceClientConfig& config)
{
    sulFilo([this, config] {
        if (m_engine)
            m_engine->SetClientConfig(config);
    });
}

AudioSettings::MemberLevel CanaleMedia::LivelloMembro(const QString& nick) const
{
    return m_impostazioni.memberLevel(nick);
}

void CanaleMedia::ImpostaLivelloMembro(qint32 id, const QString& nick,
                                       const AudioSettings::MemberLevel& livello)
{
    // Not kept is still applied: the member sounds as the user asked.
    m_impostazioni.saveMemberLevel(nick, livello);
    sulFilo([this, id, livello] {
        if (m_engine)
            m_engine->SetSpeakerLevel(quint32(id), livello.percent, livello.muted);
    });
}

void CanaleMedia::RimuoviParlante(qint32 id)
{
    sulFilo([this, id] {
        if (m_engine)
            m_engine->RemoveSpeaker(quint32(id));
    });
}

void CanaleMedia::DisconnettiVoce()
{
    sulFilo([this] {
        if (m_engine)
            m_engine->Disconnect();
    });
}

void CanaleMedia::Close()
{
    sulFilo([this] {
        if (m_client)
            m_client->Close();
    });
}

void CanaleMedia::Rilascia(Oggetto oggetto)
{
    sulFilo([this, oggetto] {
        switch (oggetto) {
        case Oggetto::Voce:
            delete m_engine;
            m_engine = nullptr;
            break;
        case Oggetto::Sessione:
            delete m_client;
            m_client = nullptr;
            break;
        case Oggetto::Radice:
            rilasciaTutto();
            break;
        }
    });
}

void CanaleMedia::rilasciaTutto()
{
    // The engine before its backend: its streams call into the backend.
    delete m_engine;
    m_engine = nullptr;
    delete m_client;
    m_client = nullptr;
    m_audio.guida.reset();
    m_audio.backend.reset();
}

} // namespace kalimo::voce
