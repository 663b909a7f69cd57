#include "lobby/collegamentomaster.h"

#include "platform/desktop/attesa.h"
#include "protocol/codes.h"
#include "protocol/textcodec.h"

#include <QCryptographicHash>
#include <QPointer>
#include <QSignalBlocker>
#include <QSslConfiguration>

namespace kalimo::lobby {

CollegamentoMaster::CollegamentoMaster(QObject* parent) : QObject(parent)
{
    m_tmrControllo.setSingleShot(true);
    connect(&m_tmrControllo, &QTimer::timeout, this, [this] { concludi(EsitoRichiesta::TimeOut); });
    connect(&WSKMaster, &QTcpSocket::readyRead, this, &CollegamentoMaster::datiArrivati);
    connect(&WSKMaster, &QTcpSocket::disconnected, this, &CollegamentoMaster::chiusoDallAltraParte);
    connect(&WSKMaster, &QSslSocket::sslErrors, this, &CollegamentoMaster::erroriCertificato);
    connect(&WSKMaster, &QAbstractSocket::errorOccurred, this,
            [this](QAbstractSocket::SocketError errore) {
                if (m_apertura && m_tls.port != 0 && m_motivo.isEmpty() &&
                    errore == QAbstractSocket::SslHandshakeFailedError)
                    m_motivo = tr("connessione cifrata non riuscita");
            });
}

CollegamentoMaster::~CollegamentoMaster()
{
    // A connection still open is not "lost" while its owner goes away.
    WSKMaster.disconnect(this);
    interrompiTutti();
}

bool CollegamentoMaster::connesso() const
{
    return WSKMaster.state() == QAbstractSocket::ConnectedState &&
           (m_tls.port == 0 || WSKMaster.isEncrypted());
}

bool CollegamentoMaster::improntaGiusta() const
{
    return m_tls.sha256.isEmpty() ||
           WSKMaster.peerCertificate().digest(QCryptographicHash::Sha256) == m_tls.sha256;
}

void CollegamentoMaster::erroriCertificato(const QList<QSslError>& errori)
{
    // A pinned certificate stands for itself: the authorities have no say.
    if (!m_tls.sha256.isEmpty()) {
        if (!WSKMaster.peerCertificate().isNull() && improntaGiusta())
            WSKMaster.ignoreSslErrors();
        else
            m_motivo = tr("il certificato non corrisponde all'impronta indicata");
        return;
    }
    if (errori.isEmpty())
        return;
    switch (errori.first().error()) {
    case QSslError::CertificateExpired:
        m_motivo = tr("il certificato del master e' scaduto");
        break;
    case QSslError::CertificateNotYetValid:
        m_motivo = tr("il certificato del master non e' ancora valido");
        break;
    case QSslError::HostNameMismatch:
        m_motivo = tr("il certificato e' di un altro server");
        break;
    case QSslError::SelfSignedCertificate:
    case QSslError::SelfSignedCertificateInChain:
    case QSslError::UnableToGetLocalIssuerCertificate:
    case QSslError::UnableToVerifyFirstCertificate:
    case QSslError::CertificateUntrusted:
        m_motivo = tr("il certificato non e' garantito da un'autorita' riconosciuta");
        break;
    default:
        m_motivo = tr("il certificato del master non e' valido");
        break;
    }
}

QString CollegamentoMaster::indirizzoLocale() const
{
    QHostAddress locale = WSKMaster.localAddress();
    bool v4 = false;
    const QHostAddress comeV4(locale.toIPv4Address(&v4));
    return (v4 ? comeV4 : locale).toString();
}

bool CollegamentoMaster::connetti(const QString& host, quint16 porta, int intervallo,
                                  const std::function<bool()>& fermo, const TlsEndpoint& tls)
{
    chiudi();
    m_tls = tls;
    m_motivo.clear();
    m_apertura = true;
    if (tls.port != 0) {
        QSslConfiguration configurazione = WSKMaster.sslConfiguration();
        configurazione.setProtocol(QSsl::TlsV1_2OrLater);
        configurazione.setPeerVerifyMode(QSslSocket::VerifyPeer);
        WSKMaster.setSslConfiguration(configurazione);
        WSKMaster.connectToHostEncrypted(host, tls.port);
    } else {
        WSKMaster.connectToHost(host, porta);
    }
    bool scaduto = false;
    QTimer limite;
    limite.setSingleShot(true);
    connect(&limite, &QTimer::timeout, this, [&scaduto] { scaduto = true; });
    limite.start(intervallo);
    Attesa::finche({
        [this] { return connesso(); },
        [&scaduto] { return scaduto; },
        [&fermo] { return fermo && fermo(); },
        // Refused or unreachable: no use waiting for the time-out.
        [this] { return WSKMaster.state() == QAbstractSocket::UnconnectedState; },
    });
    m_apertura = false;
    // A certificate the authorities vouch for is still not the pinned one.
    if (connesso() && !improntaGiusta())
        m_motivo = tr("il certificato non corrisponde all'impronta indicata");
    else if (connesso() && !(fermo && fermo())) // the user asked to stop
        return true;
    chiudi();
    return false;
}

void CollegamentoMaster::chiudi()
{
    {
        const QSignalBlocker blocco(WSKMaster);
        WSKMaster.abort();
    }
    m_ricomposizione.clear();
    interrompiTutti();
}

bool CollegamentoMaster::invia(const QString& testo)
{
    if (!connesso())
        return false;
    // A failed write shows up as the requester's time-out.
    const bool scritto = WSKMaster.write(encodeText(testo)) >= 0;
    Attesa::Pausa(0);
    return scritto;
}

RispostaMaster CollegamentoMaster::richiesta(const QString& testo, int intervallo,
                                             const std::function<bool()>& fermo)
{
    auto turno = std::make_shared<Turno>();
    turno->testo = testo;
    turno->intervallo = intervallo;
    turno->fermo = fermo;
    return scambio(std::move(turno));
}

RispostaMaster CollegamentoMaster::attendi(int intervallo, const std::function<bool()>& fermo)
{
    auto turno = std::make_shared<Turno>();
    turno->invia = false;
    turno->intervallo = intervallo;
    turno->fermo = fermo;
    return scambio(std::move(turno));
}

RispostaMaster CollegamentoMaster::scambio(std::shared_ptr<Turno> turno)
{
    if (!connesso())
        return {};
    m_turni.push_back(turno);
    avviaProssimo();
    const QPointer<CollegamentoMaster> vivo(this);
    Attesa::finche([this, &vivo, &turno] {
        if (vivo) {
            leggiInSospeso();
            verificaFermi();
        }
        return turno->finito || !vivo;
    });
    if (!turno->finito && vivo) {
        // The program is ending: its place goes to nobody.
        if (!m_turni.empty() && m_turni.front() == turno)
            concludi(EsitoRichiesta::Interrotta);
        else
            m_turni.remove(turno);
    }
    return turno->finito ? turno->esito : RispostaMaster{};
}

void CollegamentoMaster::verificaFermi()
{
    const std::list<std::shared_ptr<Turno>> turni = m_turni;
    for (const std::shared_ptr<Turno>& turno : turni) {
        if (turno->finito || !turno->fermo || !turno->fermo())
            continue;
        if (!m_turni.empty() && m_turni.front() == turno && turno->avviato) {
            concludi(EsitoRichiesta::Interrotta);
        } else {
            m_turni.remove(turno);
            turno->finito = true;
            turno->esito = {};
        }
    }
}

void CollegamentoMaster::avviaProssimo()
{
    if (m_turni.empty() || m_turni.front()->avviato)
        return;
    const std::shared_ptr<Turno> turno = m_turni.front();
    turno->avviato = true;
    m_tmrControllo.start(turno->intervallo);
    if (turno->invia)
        invia(turno->testo);
}

void CollegamentoMaster::concludi(EsitoRichiesta esito, const Message& risposta)
{
    m_tmrControllo.stop();
    if (m_turni.empty() || !m_turni.front()->avviato)
        return;
    const std::shared_ptr<Turno> turno = m_turni.front();
    m_turni.pop_front();
    turno->finito = true;
    turno->esito = {esito, risposta};
    avviaProssimo();
}

void CollegamentoMaster::interrompiTutti()
{
    m_tmrControllo.stop();
    for (const std::shared_ptr<Turno>& turno : m_turni) {
        turno->finito = true;
        turno->esito = {};
    }
    m_turni.clear();
}

void CollegamentoMaster::leggiInSospeso()
{
    if (WSKMaster.bytesAvailable() > 0)
        datiArrivati();
}

void CollegamentoMaster::datiArrivati()
{
    const QByteArray completi = m_ricomposizione.feed(WSKMaster.readAll());
    // A master that never ends its message is not one we can talk to.
    if (m_ricomposizione.overflowed()) {
        chiusoDallAltraParte();
        return;
    }
    if (!completi.isEmpty())
        gestisciArrivo(decodeText(completi));
}

void CollegamentoMaster::gestisciArrivo(const QString& testo)
{
    const QPointer<CollegamentoMaster> vivo(this);
    for (const Message& messaggio : decodeMessages(testo)) {
        if (!vivo)
            return;
        if (messaggio.isReply()) {
            // A reply nobody waits for any more is dropped.
            concludi(EsitoRichiesta::Risposta, messaggio);
        } else if (messaggio.code == master::notification::FromPartner) {
            Q_EMIT testoPrivato(messaggio.field(0), messaggio.field(1), true, false);
        } else if (messaggio.code == master::notification::OwnText) {
            Q_EMIT testoPrivato(messaggio.field(0), messaggio.field(1), false, false);
        } else if (messaggio.code == master::notification::SystemText) {
            Q_EMIT testoPrivato(messaggio.field(0), messaggio.field(1), false, true);
        } else if (messaggio.code == master::notification::Check) {
            Q_EMIT controllo(messaggio.block);
        }
        // "0001" and unknown notifications are ignored.
    }
}

void CollegamentoMaster::chiusoDallAltraParte()
{
    // A TLS handshake that fails closes a connection that was never up.
    if (m_apertura)
        return;
    chiudi();
    Q_EMIT chiusoDalMaster();
}

} // namespace kalimo::lobby
