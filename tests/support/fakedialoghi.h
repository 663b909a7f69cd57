#pragma once

#include "platform/desktop/dialoghi.h"

#include <QList>
#include <QQueue>
#include <QString>

#include <algorithm>
#include <functional>
#include <utility>

namespace kalimo::test {

// Scripted boxes: every box shown is recorded; answers come from the queues,
// or the defaults when a queue is empty.
struct FakeDialoghi final : Dialoghi
{
    struct Messaggio
    {
        QString testo;
        QString titolo;
        Icona icona;
        Pulsanti pulsanti;
    };
    struct Input
    {
        QString titolo;
        QString richiesta;
        QString predefinito;
    };

    Risposta messaggio(const QString& testo, const QString& titolo, Icona icona,
                       Pulsanti pulsanti) override
    {
        messaggi.append({testo, titolo, icona, pulsanti});
        massimoAperte = std::max(massimoAperte, ++aperte);
        if (auto dentro = std::exchange(mentreAperta, {}))
            dentro();
        --aperte;
        return risposte.isEmpty() ? rispostaPredefinita : risposte.dequeue();
    }

    QString input(const QString& titolo, const QString& richiesta,
                  const QString& predefinito = {}) override
    {
        inputs.append({titolo, richiesta, predefinito});
        return testi.isEmpty() ? QString() : testi.dequeue();
    }

    QStringList testiMessaggi() const
    {
        QStringList t;
        for (const Messaggio& m : messaggi)
            t.append(m.testo);
        return t;
    }

    // Each box as its text, its title, then its icon and buttons by name ("Critica Ok").
    QStringList avvisi() const
    {
        static const char* const icone[] = {"Nessuna", "Informazione", "Critica", "Avviso",
                                            "Domanda"};
        static const char* const pulsanti[] = {"Ok", "OkAnnulla", "SiNo", "SiNoAnnulla"};
        QStringList t;
        for (const Messaggio& m : messaggi)
            t << m.testo << m.titolo
              << QString::fromLatin1(icone[int(m.icona)]) + u' ' +
                     QString::fromLatin1(pulsanti[int(m.pulsanti)]);
        return t;
    }

    QList<Messaggio> messaggi;
    QList<Input> inputs;
    QQueue<Risposta> risposte;
    QQueue<QString> testi;
    Risposta rispostaPredefinita = Risposta::Ok;
    // Runs once, inside the next box, as if the user left it open meanwhile.
    std::function<void()> mentreAperta;
    // Boxes open at once: now, and at most so far.
    int aperte = 0, massimoAperte = 0;
};

} // namespace kalimo::test
