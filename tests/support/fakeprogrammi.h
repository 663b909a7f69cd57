#pragma once

#include "platform/desktop/programmi.h"

#include <QList>
#include <QString>

namespace kalimo::test {

// Records every start and close request; each start gets `idPredefinito` as its task id.
struct FakeAvvioProgrammi final : AvvioProgrammi
{
    struct Avvio
    {
        QString programma;
        QString argomenti;
        QString biglietto; // the room ticket in the environment it got
    };

    qint64 avvia(const QString& programma, const QString& argomenti) override
    {
        avvii.append({programma, argomenti, qEnvironmentVariable("KALIMO_ROOM_TICKET")});
        return idPredefinito;
    }

    bool chiediChiusura(qint64 idProcesso) override
    {
        chiusure.append(idProcesso);
        return idProcesso != 0;
    }

    QList<Avvio> avvii;
    QList<qint64> chiusure;
    qint64 idPredefinito = 4242;
};

// Records the files it was asked to open.
struct FakeApriFile final : ApriFile
{
    bool apri(const QString& percorso) override
    {
        aperti.append(percorso);
        return true;
    }

    QStringList aperti;
};

} // namespace kalimo::test
