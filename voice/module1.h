#pragma once

#include "platform/desktop/dialoghi.h"
#include "room/stanza.h"
#include "room/utente.h"
#include "voice/canalestanza.h"

#include <QCoreApplication>
#include <QPointer>
#include <QString>

#include <functional>
#include <memory>

class QWidget;

namespace kalimo::voce {

class frmVoiceClient;

// Every interval the voice client waits for, in milliseconds; tests shorten them.
struct IntervalliVoce
{
    int enumerazione = 10000;
    int pausaChiusura = 1000;
    int connessioneLobby = 2000;
    int banner = 60000;
};

// What the voice client needs from outside, lent by main() or by a test.
struct ServiziVoce
{
    Dialoghi* dialoghi = nullptr;
    // The room session and voice engine the window talks to.
    std::function<std::unique_ptr<CanaleStanza>()> creaCanale;
    // The audio set-up window; true when the user saved a choice.
    std::function<bool(QWidget* padre)> impostaAudio;
    // Called once the room window exists, before it loads (test hooks).
    std::function<void(frmVoiceClient&)> finestraCreata;
    // Ends the program; by default quits the event loop with the code.
    std::function<void(int codice)> termina;
};

// The voice client's process-wide state and its start-up. The only global
// of the program: the room window is handed this object.
class Module1 final
{
    Q_DECLARE_TR_FUNCTIONS(Module1)

public:
    static QString titolo() { return QStringLiteral("Kalimo"); }
    static constexpr int kUscitaRigaErrata = 2;
    static constexpr int kUscitaFallimento = 1;

    explicit Module1(ServiziVoce servizi, IntervalliVoce intervalli = {});
    ~Module1();
    Module1(const Module1&) = delete;
    Module1& operator=(const Module1&) = delete;

    // The program's entry with the launch text. False when the program has
    // already ended (see codiceUscita()); otherwise the room window is open
    // and the event loop takes over.
    bool SubMain(const QString& rigaDiComando);

    // ---- shared state ----
    QString SEP1, SEP2, SEP3;
    Stanza& StanzaCorrente() { return *m_stanza; }
    Utente UtenteLocale;
    QString IndirizzoBanner;
    qint16 MinutiRefreshBanner = 0;

    frmVoiceClient* finestra() const { return m_finestra.get(); }
    Dialoghi& dialoghi() const { return *m_servizi.dialoghi; }
    const ServiziVoce& servizi() const { return m_servizi; }
    const IntervalliVoce& intervalli() const { return m_intervalli; }

    // The lobby asked us to go (its process stop): the same as `chiudi`.
    void ChiusuraRichiesta();
    // Ends every wait and the program, once.
    void TerminaProgramma(int codice);
    bool terminato() const { return m_terminato; }
    int codiceUscita() const { return m_codice; }

private:
    ServiziVoce m_servizi;
    IntervalliVoce m_intervalli;
    std::unique_ptr<Stanza> m_stanza;
    std::unique_ptr<frmVoiceClient> m_finestra;
    bool m_terminato = false;
    int m_codice = 0;
};

} // namespace kalimo::voce
