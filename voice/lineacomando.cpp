#include "voice/lineacomando.h"

#include "protocol/values.h"

#include <QCoreApplication>

namespace kalimo::voce {

namespace {

constexpr int kCampi = 11;

QString trAvvio(const char* testo)
{
    return QCoreApplication::translate("kalimo::Avvio", testo);
}

} // namespace

QString testoDaArgomenti(const QStringList& argomenti)
{
    return argomenti.mid(1).join(u' ');
}

EsitoAvvio leggiRigaDiComando(const QString& testo)
{
    EsitoAvvio esito;
    if (testo.trimmed().isEmpty())
        return esito;
    esito.tipo = EsitoAvvio::Tipo::Errata;

    QStringList campi = testo.split(u'+');
    for (QString& campo : campi)
        campo = campo.trimmed();
    // More than eleven means a value held a "+": every later field would be
    // read from the wrong place.
    if (campi.size() != kCampi) {
        esito.errore =
            trAvvio(QT_TRANSLATE_NOOP("kalimo::Avvio",
                                      "Il programma va avviato da Kalimo: la riga di comando ha %1 "
                                      "campi separati da \"+\" invece di %2."))
                .arg(campi.size())
                .arg(kCampi);
        return esito;
    }

    const auto numero = [&](int indice, const char* nome, qint16& destinazione) {
        const std::optional<qint16> valore = parseInt16(campi.at(indice));
        if (!valore) {
            esito.errore = trAvvio(QT_TRANSLATE_NOOP(
                                       "kalimo::Avvio",
                                       "Il programma va avviato da Kalimo: il campo %1 (%2) della "
                                       "riga di comando non e' un numero valido: \"%3\"."))
                               .arg(indice)
                               .arg(trAvvio(nome), campi.at(indice));
            return false;
        }
        destinazione = *valore;
        return true;
    };

    DatiAvvio& d = esito.dati;
    if (!numero(1, QT_TRANSLATE_NOOP("kalimo::Avvio", "utenti massimi"), d.MaxUtenti) ||
        !numero(2, QT_TRANSLATE_NOOP("kalimo::Avvio", "utenti che possono parlare"),
                d.MaxUtentiAudio) ||
        !numero(10, QT_TRANSLATE_NOOP("kalimo::Avvio", "minuti di aggiornamento del banner"),
                d.MinutiRefreshBanner))
        return esito;
    const std::optional<int> porta = parseInt(campi.at(5));
    if (!porta || *porta < 1 || *porta > 65535) {
        esito.errore = trAvvio(QT_TRANSLATE_NOOP(
                                   "kalimo::Avvio",
                                   "Il programma va avviato da Kalimo: la porta della stanza nella "
                                   "riga di comando non e' valida: \"%1\"."))
                           .arg(campi.at(5));
        return esito;
    }

    d.IPStanza = campi.at(0);
    d.Nome = campi.at(3);
    d.Password = campi.at(4);
    d.PortaUtenti = campi.at(5);
    d.porta = quint16(*porta);
    d.NickName = campi.at(6);
    d.IPAddress = campi.at(7);
    d.TitoloLobby = campi.at(8);
    d.IndirizzoBanner = campi.at(9);
    esito.tipo = EsitoAvvio::Tipo::Valida;
    return esito;
}

} // namespace kalimo::voce
