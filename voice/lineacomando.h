#pragma once

#include <QString>
#include <QStringList>

namespace kalimo::voce {

// What the lobby hands the voice client: eleven fields joined by " + ".
struct DatiAvvio
{
    QString IPStanza;
    qint16 MaxUtenti = 0;
    qint16 MaxUtentiAudio = 0;
    QString Nome;
    QString Password;
    QString PortaUtenti;
    quint16 porta = 0; // PortaUtenti as a number
    QString NickName;
    QString IPAddress;
    QString TitoloLobby;
    QString IndirizzoBanner;
    qint16 MinutiRefreshBanner = 0;
};

struct EsitoAvvio
{
    enum class Tipo {
        Valida,
        Vuota,  // nothing to do: end silently
        Errata, // show `errore` and end with code 2
    };
    Tipo tipo = Tipo::Vuota;
    DatiAvvio dati;
    QString errore;
};

// The launch text from the program's arguments: the lobby passes the whole
// text as one argument, a shell may split it; either way it reads the same.
QString testoDaArgomenti(const QStringList& argomenti);

EsitoAvvio leggiRigaDiComando(const QString& testo);

} // namespace kalimo::voce
