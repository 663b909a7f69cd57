#pragma once

#include "lobby/frmclient.h"
#include "lobby/module1.h"
#include "platform/desktop/attesa.h"
#include "tests/support/cartelle.h"
#include "tests/support/fakedialoghi.h"
#include "tests/support/fakeprogrammi.h"

#include <QCoreApplication>
#include <QEvent>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <memory>

namespace kalimo::test {

using namespace kalimo::lobby;

// A limit no wait of a test reaches: only a stop, a close or the master may end such a wait.
constexpr int kSoloFermo = 60000;

// Ends every wait of the lobby if it outlives `ms`, and says so: a stop that is ignored
// fails its test at once instead of waiting out kSoloFermo.
struct Guardia final
{
    explicit Guardia(int ms = 10000)
    {
        QTimer::singleShot(ms, &contesto, [this] {
            scattata = true;
            Attesa::interrompiTutto();
        });
    }
    bool scattata = false;
    QObject contesto;
};

inline void eliminaFinestreChiuse()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// Every text a label showed, in the order it was painted. A text set and
// replaced before any paint does not appear.
struct RegistroEtichetta final : QObject
{
    explicit RegistroEtichetta(QLabel* etichetta) : osservata(etichetta)
    {
        etichetta->installEventFilter(this);
    }
    bool eventFilter(QObject* oggetto, QEvent* evento) override
    {
        // Compared as plain pointers: the label may be in its destructor.
        if (oggetto != osservata || evento->type() != QEvent::Paint)
            return false;
        const QString testo = static_cast<QLabel*>(oggetto)->text();
        if (testi.isEmpty() || testi.last() != testo)
            testi.append(testo);
        return false;
    }
    QStringList testi;
    const QObject* osservata;
};

// A program folder, scripted services and the lobby over them, with the
// voice link on a free port.
class BancoLobby
{
public:
    // Intervals short enough that a test never waits out a real time-out.
    explicit BancoLobby(int ms = 300)
        : intervalli{.rispostaMaster = ms,
                     .stanzaPrivata = ms,
                     .ricezioneDatiStanza = ms,
                     .aggiornamentoListe = ms,
                     .primoAggiornamentoListe = ms,
                     .pausaPasswordErrata = 1,
                     .splash = 1,
                     .pausaDatiStanza = 1}
    {
        Attesa::riprendi();
        cartella.scrivi("User.ini", "USERNAME : mario\r\nPASSWORD : Segreto\r\n");
        // A master nobody listens at, until a test writes its own list.
        scriviMasters(rigaMaster("Nessuno", 1));
    }

    ~BancoLobby()
    {
        m.reset();
        eliminaFinestreChiuse();
    }

    // One line of Masters.txt.
    static QByteArray rigaMaster(const QString& nome, quint16 porta,
                                 const QString& chiave = "kalimo")
    {
        return QString("%1 | 127.0.0.1 | %2 | %3\r\n\r\n")
            .arg(nome, QString::number(porta), chiave)
            .toUtf8();
    }
    void scriviMasters(const QByteArray& righe) { cartella.scrivi("Masters.txt", righe); }

    // The lobby with its files read (unless a test clears `leggiFile`), as Sub Main leaves it
    // (without windows).
    Module1& modulo()
    {
        if (!m) {
            m = std::make_unique<Module1>(Servizi{&dialoghi, avvio ? avvio : &programmi, &apri},
                                          cartella.percorso(), eseguibile.percorso(), intervalli);
            m->impostaUscita([this] { ++uscite; });
            m->impostaPortaAscoltoVoice(0);
            if (leggiFile) {
                m->LeggiUserIni();
                m->CaricaMasters();
            }
        }
        return *m;
    }

    // The main window, shown, with its status line recorded.
    frmClient* client()
    {
        frmClient* c = modulo().FrmClient();
        if (!registroStato) {
            c->show();
            // Texts painted from here on are recorded, the first one excluded.
            (void)QTest::qWaitForWindowExposed(c);
            QCoreApplication::processEvents();
            registroStato = std::make_unique<RegistroEtichetta>(c->lblStato());
        }
        return c;
    }

    template <typename T> static T* figlio(QWidget* finestra, const char* nome)
    {
        return finestra ? finestra->findChild<T*>(QString::fromLatin1(nome)) : nullptr;
    }
    QPushButton* pulsante(const char* nome) { return figlio<QPushButton>(client(), nome); }
    void clicConnetti() { pulsante("cmdConnettiti")->click(); }
    // Logs `utente` in at the master on `porta`, before the lobby is made; the lists then refresh
    // once, at once.
    void collega(quint16 porta, const QString& utente = "mario",
                 const QString& password = "Segreto")
    {
        cartella.scrivi(
            "User.ini",
            QString("USERNAME : %1\r\nPASSWORD : %2\r\n").arg(utente, password).toUtf8());
        scriviMasters(rigaMaster("Primo", porta));
        intervalli.primoAggiornamentoListe = 1;
        intervalli.aggiornamentoListe = 3600000;
        clicConnetti();
    }

    CartellaTemporanea cartella, eseguibile;
    FakeDialoghi dialoghi;
    FakeAvvioProgrammi programmi;
    FakeApriFile apri;
    std::unique_ptr<RegistroEtichetta> registroStato;
    int uscite = 0;
    // Read when the lobby is made: a test may change them before the first modulo().
    Intervalli intervalli;
    // A starter of real programs in place of `programmi`, likewise.
    AvvioProgrammi* avvio = nullptr;
    bool leggiFile = true;

private:
    std::unique_ptr<Module1> m;
};

} // namespace kalimo::test
