// The master protocol as the windows use it, over the master link.

#include "lobby/module1.h"
#include "protocol/codes.h"
#include "protocol/framing.h"
#include "protocol/textcodec.h"

#include <QFile>

namespace kalimo::lobby {

bool Module1::InviaAlMaster(const QString& testo)
{
    return m_master.invia(testo);
}

void Module1::GestisciDatiArrivatiMaster(const QString& DA)
{
    m_master.gestisciArrivo(DA);
}

void Module1::RispondiControllo(const QString& parametri)
{
    InviaAlMaster(masterRequest(master::request::CheckAnswer,
                                stripControlCharacters(UtenteCorrente.NickName), {parametri}));
}

RispostaMaster Module1::RichiestaAlMaster(QStringView codice, const QStringList& parametri,
                                          int intervallo, const std::function<bool()>& fermo)
{
    QStringList puliti;
    for (const QString& p : parametri)
        puliti.append(stripControlCharacters(p));
    return m_master.richiesta(
        masterRequest(codice, stripControlCharacters(UtenteCorrente.NickName), puliti), intervallo,
        fermo);
}

RispostaMaster Module1::AttendiRisposta(int intervallo, const std::function<bool()>& fermo)
{
    return m_master.attendi(intervallo, fermo);
}

void Module1::MostraTimeOutMaster()
{
    dialoghi().messaggio(tr("Il master non ha risposto in tempo"), tr("Kalimo 2.0b"),
                         Icona::Informazione, Pulsanti::Ok);
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

} // namespace kalimo::lobby
