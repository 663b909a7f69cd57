// The master protocol: sending requests, the single reply slot with its
// time-out, and the dispatch of what the master sends.

#include "lobby/frmclient.h"
#include "lobby/module1.h"
#include "platform/desktop/attesa.h"
#include "protocol/framing.h"
#include "protocol/reassembler.h"
#include "protocol/textcodec.h"

#include <QFile>

namespace kalimo {

bool Module1::InviaAlMaster(const QString& testo)
{
    frmClient* client = m_frmClient;
    if (!client || client->WSKMaster.state() != QAbstractSocket::ConnectedState)
        return false;
    // A failed write shows up as the requester's time-out.
    const bool scritto = client->WSKMaster.write(encodeText(testo)) >= 0;
    Attesa::Pausa(0);
    return scritto;
}

void Module1::GestisciDatiArrivatiMaster(const QString& DA)
{
    for (const QStringList& parti : splitMessages(DA)) {
        if (parti.size() != 2)
            continue;
        const QString& codice = parti.at(0);
        const QString& parametri = parti.at(1);
        if (codice.size() == 5) {
            CodiceRisposta = codice;
            ParametriRisposta = parametri;
        } else if (codice == u"0002") {
            MostraMessaggioChat(parametri, true, false);
        } else if (codice == u"0003") {
            MostraMessaggioChat(parametri, false, false);
        } else if (codice == u"0004") {
            MostraMessaggioChat(parametri, false, true);
        } else if (codice == u"0005") {
            RispondiControllo(parametri);
        }
        // "0001" and unknown notifications are ignored.
    }
}

bool Module1::LeggiDalMaster(QTcpSocket& socket, StreamReassembler& ricomposizione)
{
    const QByteArray completi = ricomposizione.feed(socket.readAll());
    const bool troppoLungo = ricomposizione.overflowed();
    if (!completi.isEmpty())
        GestisciDatiArrivatiMaster(decodeText(completi));
    return !troppoLungo;
}

void Module1::RispondiControllo(const QString& parametri)
{
    InviaAlMaster(
        masterRequest(u"0014", stripControlCharacters(UtenteCorrente.NickName), {parametri}));
}

EsitoRichiesta Module1::RichiestaAlMaster(QStringView codice, const QStringList& parametri,
                                          int intervallo, const std::function<bool()>& fermo)
{
    QStringList puliti;
    for (const QString& p : parametri)
        puliti.append(stripControlCharacters(p));
    return AttendiRisposta(intervallo, fermo, [&] {
        InviaAlMaster(
            masterRequest(codice, stripControlCharacters(UtenteCorrente.NickName), puliti));
    });
}

EsitoRichiesta Module1::AttendiRisposta(int intervallo, const std::function<bool()>& fermo,
                                        const std::function<void()>& invio)
{
    const QPointer<frmClient> finestra = m_frmClient;
    if (!finestra)
        return EsitoRichiesta::Interrotta;
    TimeOutMaster = false;
    finestra->tmrControllo.start(intervallo);
    CodiceRisposta.clear();
    ParametriRisposta.clear();
    if (invio)
        invio();

    const int fine = Attesa::finche({
        [this, &finestra] {
            if (finestra)
                finestra->LeggiMasterInSospeso();
            return !CodiceRisposta.isEmpty();
        },
        [this] { return TimeOutMaster; },
        [&fermo] { return fermo && fermo(); },
        // Nothing more can arrive once the connection is gone.
        [&finestra] {
            return !finestra || finestra->WSKMaster.state() != QAbstractSocket::ConnectedState;
        },
    });
    if (finestra)
        finestra->tmrControllo.stop();
    switch (fine) {
    case 0:
        return EsitoRichiesta::Risposta;
    case 1:
        return EsitoRichiesta::TimeOut;
    default:
        return EsitoRichiesta::Interrotta;
    }
}

void Module1::MostraTimeOutMaster()
{
    dialoghi().messaggio(tr("Il master non ha risposto in tempo"), tr("Kalimo 2.0b"),
                         Icona::Informazione, Pulsanti::Ok);
    TimeOutMaster = false;
}

QString Module1::sitoDownload()
{
    QFile file(QStringLiteral(":/kalimo/sitodownload.txt"));
    if (file.open(QIODevice::ReadOnly)) {
        const QString sito = decodeText(file.read(4096)).trimmed();
        if (!sito.isEmpty())
            return sito;
    }
    return QStringLiteral("https://kalimo.example.org");
}

} // namespace kalimo
