#pragma once

#include "platform/desktop/dialoghi.h"
#include "platform/voiceengine/voiceconfig.h"
#include "platform/voiceengine/voiceresult.h"
#include "protocol/message.h"
#include "room/griglia.h"

#include <QStringList>
#include <QTimer>
#include <QWidget>

#include <memory>

class QLabel;
class QMenu;

namespace Ui {
class frmVoiceClient;
}

namespace kalimo {
class GrigliaTabella;
} // namespace kalimo

namespace kalimo::voce {

class CanaleStanza;
class ChatStanza;
class CollegamentoLobby;
class Module1;
class VistaBanner;

// The room window: joins the room session, shows who is in the room and who
// speaks, runs the talk controls and answers the room host's messages.
class frmVoiceClient final : public QWidget
{
    Q_OBJECT

public:
    explicit frmVoiceClient(Module1& modulo, QWidget* parent = nullptr);
    ~frmVoiceClient() override;

    // The load sequence, once the window shows. It may end the program.
    void Carica();
    // `chiudi`, Alt+C and the lobby's close request.
    void Chiudi();
    // A payload of the room host: its messages are handled in order, at
    // once, even while a box is open; only the boxes wait their turn.
    void GestisciDatiArrivati(const QString& dati);

    bool InParola() const { return m_inParola; }
    bool sessioneTerminata() const { return m_sessioneFinita; }
    VoiceClientConfig configurazioneVoce() const { return m_config; }
    // The grid the room draws into; a test hook may wrap it before Carica.
    Griglia& griglia() const { return *m_griglia; }
    void usaGriglia(Griglia* griglia) { m_griglia = griglia; }
    // The room's chat windows.
    ChatStanza& chat() const { return *m_chat; }
    // What a right click on grid row `riga` offers: the member's volume and
    // local mute. None for an empty row or the local user.
    std::unique_ptr<QMenu> menuMembro(int riga);

Q_SIGNALS:
    // A label of interest changed: its object name and new text.
    void etichettaCambiata(const QString& nome, const QString& testo);

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* oggetto, QEvent* evento) override;

private:
    bool ConnettiStanza();
    static QString testoRifiuto(int risultato);
    bool ConnettiVoce();
    void TerminaSessione();
    void esci();
    void finisci(int codice);
    void uscitaFatale(const QString& testo, const QString& titolo, Icona icona);
    void registraGestori();

    void GestisciEvento(const inroom::Event& evento);
    // Asks the queued questions one at a time; arrivals meanwhile are handled at once.
    void rispondiDomande();
    void utenteEntrato(const QString& nick, int id);
    void utenteUscito(const QString& nick);
    void segnoParlante(int id, bool parla);
    void invitoRicevuto(const QString& invitante);
    void invitoAccettato(const QString& nick);
    void aggiornaConteggi();
    void volumeMembro(qint32 id, const QString& nick);

    void IniziaParlare();
    void FinisciParlare();
    void ParlareRifiutato();
    void applicaVolumi();
    void applicaConfigurazione();
    void SessioneTerminata();
    void erroreAudio(const VoiceResult& esito);

    void Invia(const QString& messaggio);
    void InviaAlLobby(const QString& messaggio);
    void InvitaInPrivato();
    void ApriChatPrivata();
    void AggiornaBanner();
    void AvviaCollegamentoLobby();

    void impostaEtichetta(QLabel* etichetta, const QString& testo);
    bool tastoCtrl(QObject* oggetto, QEvent* evento);

    Module1& m_modulo;
    std::unique_ptr<Ui::frmVoiceClient> ui;
    std::unique_ptr<GrigliaTabella> m_grigliaTabella;
    Griglia* m_griglia = nullptr;
    std::unique_ptr<CanaleStanza> m_canale;
    std::unique_ptr<ChatStanza> m_chat;
    VoiceClientConfig m_config;
    QTimer tmrRefreshBanner;
    QTimer TimerConnessione;
    std::unique_ptr<CollegamentoLobby> m_collegamento;
    std::unique_ptr<VistaBanner> m_banner;
    // Ticks of tmrRefreshBanner since the page was last loaded.
    qint16 ContatoreBanner = 0;
    // Invitations and answers that need a box, in arrival order.
    QList<inroom::Event> m_domande;
    bool m_domandaAperta = false;
    // Nicks we invited whose answer has not come yet.
    QStringList m_invitiInviati;
    bool m_inParola = false;
    // The host refused the floor: the gate closing must not hide that.
    bool m_rifiutato = false;
    bool m_sessioneFinita = false;
    bool m_chiusura = false;
    bool m_pulito = false;
};

} // namespace kalimo::voce
