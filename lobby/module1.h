#pragma once

#include "lobby/collegamentomaster.h"
#include "lobby/lista1.h"
#include "platform/desktop/dialoghi.h"
#include "platform/desktop/programmi.h"
#include "protocol/tlsfield.h"
#include "room/stanza.h"
#include "room/utente.h"

#include <QCoreApplication>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <functional>
#include <memory>

namespace kalimo::lobby {

class frmChat2;
class frmClient;
class frmListaStanze;
class frmListaUtenti;
class frmLogin;
class frmNewUser;
class frmNuovaStanza;
class frmSplash;

// One master server of Masters.txt.
struct MasterRecord
{
    QString Nome;
    QString Indirizzo;
    // Every TCP port fits, not only those up to 32767.
    quint16 Porta = 0;
    QString Chiave;
    // The optional fifth field: connect with TLS on this port instead.
    TlsEndpoint Tls;

    friend bool operator==(const MasterRecord&, const MasterRecord&) = default;
};

// One contact of CntLst.klm; Stato is True (connected) or False.
struct ContactRecord
{
    QString NickName;
    qint16 Stato = 0;
};

// Program-wide Booleans keep the old integer values where they are stored as numbers.
inline constexpr qint16 kVero = -1;
inline constexpr qint16 kFalso = 0;

// Every interval the lobby waits for, in milliseconds; tests shorten them.
struct Intervalli
{
    int rispostaMaster = 10000;
    int stanzaPrivata = 20000;
    int ricezioneDatiStanza = 30000;
    int aggiornamentoListe = 60000;
    int primoAggiornamentoListe = 2000;
    int pausaPasswordErrata = 2000;
    int splash = 5000;
    int pausaDatiStanza = 5;
    // A chat window's "Invita" stays disabled this long after an invitation.
    int riarmoInvita = 10000;
};

// What the lobby needs from the desktop, lent by main() or by a test.
struct Servizi
{
    Dialoghi* dialoghi = nullptr;
    AvvioProgrammi* programmi = nullptr;
    ApriFile* apriFile = nullptr;
};

// The lobby's process-wide state, its services, its settings files and its
// single instance of each window. The only global of the program: every
// window is handed this object.
class Module1 final
{
    Q_DECLARE_TR_FUNCTIONS(Module1)

public:
    static constexpr auto kVersione = u"2.0b";
    static constexpr auto kTitolo = u"Kalimo 2.0b";
    // Files above this size are refused rather than read: no real settings
    // file comes near it, and reading one must never stall the start-up.
    static constexpr qint64 kDimensioneMassimaFile = 1024 * 1024;

    // `cartellaProgramma`: where the four settings files live (see
    // cartellaprogramma.h). `cartellaEseguibile`: where the help texts ship,
    // used when the program folder has none.
    Module1(Servizi servizi, QString cartellaProgramma, QString cartellaEseguibile = {},
            Intervalli intervalli = {});
    ~Module1();
    Module1(const Module1&) = delete;
    Module1& operator=(const Module1&) = delete;

    // The program's entry. False when the program must end now (no usable
    // master list); otherwise a window is open and the event loop takes over.
    bool SubMain();

    // ---- shared state ----
    QString SEP1, SEP2, SEP3, SEP4, SEP5, SEP6, SEP7, SEP8, SEP9;
    Utente UtenteCorrente;
    // The room about to be entered or created; made on first use.
    Stanza& StanzaCorrente();
    // The rooms of the room list, entries from 1.
    Lista1<std::unique_ptr<Stanza>> ListaStanze;
    Lista1<MasterRecord> ListaMaster;
    Lista1<ContactRecord> ContactList;
    // The private chat windows (frmChat2), entries from 1.
    Lista1<QPointer<QWidget>> FinestreChat;
    bool ConnessoAlMaster = false;
    QString IndirizzoBanner;
    qint16 MinutiRefreshBanner = 0;
    qint16 MaxUtentiStanza = 0;
    qint16 MaxUtentiAudioStanza = 0;
    QString VersioneMaster;
    bool ListaStanzeAperta = false;
    bool ListaUtentiAperta = false;
    qint64 IDProcessoVoice = 0;
    qint16 IndiceWskVoice = 0;
    // IndiceWskVoice when the voice client was last started: links up to it
    // belong to older voice clients, whose close leaves IDProcessoVoice alone.
    qint16 IndiceWskVoiceAvvio = 0;

    // ---- settings files (fileimpostazioni.cpp) ----
    // False on any error, the missing file included; no message.
    bool LeggiUserIni();
    bool CaricaMasters();
    bool CaricaMastersOld();
    bool SalvaMasters(const Lista1<MasterRecord>& lista) const;
    bool SalvaMastersOld(const Lista1<MasterRecord>& lista) const;
    void CaricaContactList();
    // Riscrivi true: the file becomes entries 1..UBound; false: entry
    // `indice` is appended to it.
    bool SalvaContactList(const Lista1<ContactRecord>& lista, int indice, bool Riscrivi) const;
    bool EstInContactList(const QString& nick) const;
    qint16 DammiStatoContatto(const QString& nick) const;
    bool EliminaDaContactList(const QString& nick);
    // Writes the account as typed (the user name is lower-cased, both trimmed).
    bool SalvaUserIni(const QString& userName, const QString& password) const;

    // ---- master protocol (protocollomaster.cpp) ----
    // The connection to the master every window talks through.
    CollegamentoMaster& master() { return m_master; }
    // The registration window's own connection.
    CollegamentoMaster& registrazione() { return m_registrazione; }
    // Sends `testo` unchanged on the master connection and lets pending
    // events run once; false when there is no connection.
    bool InviaAlMaster(const QString& testo);
    // Whole messages as if they arrived from the master.
    void GestisciDatiArrivatiMaster(const QString& DA);
    // Private texts for the chat windows ("0002".."0004").
    void MostraMessaggioChat(const QString& partner, const QString& testo, bool DaPartner,
                             bool DiSistema);
    // Answers the master's check "0005" with its parameter block unchanged.
    void RispondiControllo(const QString& parametri);

    // ---- private texts and their sub-protocols (messaggichat.cpp) ----
    static bool ContieneMarcheInvito(QStringView testo);
    static bool ContieneMarcheContactList(QStringView testo);
    void GestisciInvito(const QString& testo, const QString& partner, int indice);
    void GestisciRichiestaContactList(const QString& testo, const QString& partner);
    // Send a private text ("0013 ") to `destinatario`. The first true flag
    // replaces `testo` with that step's own text; with none, the typed text
    // goes out without control characters. `testo` ends as the text sent.
    // False when there was no master connection to send on.
    bool InviaMessaggioInvito(const QString& destinatario, QString& testo, bool Invita,
                              bool Accetta, bool Rifiuta);
    bool InviaMessaggioContactList(const QString& destinatario, QString& testo, bool Richiedi,
                                   bool Accetta, bool Rifiuta);
    // The chat window at `indice` of FinestreChat; null once it was unloaded.
    frmChat2* FinestraChat(int indice) const;
    // Adds a chat window for `partner` at the end of FinestreChat; its index.
    int NuovaFinestraChat(const QString& partner);
    // The request/response cycle on the master connection: sends `codice`
    // with `parametri` (user texts lose the framing's control characters)
    // once the exchanges before it are over, and waits up to `intervallo` ms
    // for the reply, the time-out, `fermo` or a lost connection.
    RispostaMaster RichiestaAlMaster(QStringView codice, const QStringList& parametri,
                                     int intervallo, const std::function<bool()>& fermo = {});
    // The same cycle for a reply that comes unasked.
    RispostaMaster AttendiRisposta(int intervallo, const std::function<bool()>& fermo = {});
    // ---- the voice client and its link (collegamentovoce.cpp) ----
    // Where the lobby listens for the voice link, and where the voice client
    // it starts connects to (13000 when unset).
    static constexpr const char* kVariabilePortaVoce = "KALIMO_VOICE_LINK_PORT";
    // The master's ticket for the room, handed to the voice client it starts.
    static constexpr const char* kVariabileBiglietto = "KALIMO_ROOM_TICKET";
    static constexpr const char* kVariabileChiave = "KALIMO_ROOM_KEY";
    // The voice client's argument text for StanzaCorrente: eleven fields joined by " + ".
    QString ArgomentiVoice();
    // Starts the voice client for StanzaCorrente, asking the running one to
    // close first (and, with `chiudiCollegamento`, closing the newest voice
    // link), with the master's ticket for the room ("0006 "). False, after a
    // message, when nothing was started: room data missing or holding "+",
    // or the start failed.
    bool AvviaVoice(bool chiudiCollegamento);
    // The voice client's "0001": has the master create the private room
    // "Stanza di <own nick> e <Par>" and enters it (20 s wait).
    void AvviaProcedurePerStanzaPrivata(const QString& Par);
    // Waits (30 s) for the "00071" of the private room another user is having
    // the master create for us, then enters it. Sends nothing. Called for the
    // voice client's "0002" and when the user accepts a private-chat invitation.
    void AvviaProcedureRicezioneDati();
    // The user-visible time-out of most exchanges.
    void MostraTimeOutMaster();
    // Where the version message sends the user to update.
    static QString sitoDownload();

    // ---- services ----
    Dialoghi& dialoghi() const { return *m_servizi.dialoghi; }
    AvvioProgrammi& programmi() const { return *m_servizi.programmi; }
    const Intervalli& intervalli() const { return m_intervalli; }
    // The voice link's listening port (13000; tests take a free one with 0).
    quint16 portaAscoltoVoice() const { return m_portaAscoltoVoice; }
    void impostaPortaAscoltoVoice(quint16 porta) { m_portaAscoltoVoice = porta; }
    QString cartellaProgramma() const { return m_cartellaProgramma; }
    QString percorso(const QString& nomeFile) const;

    // Opens a help text of the program folder (else the one shipped beside
    // the executable) in the desktop's viewer; a missing file does nothing.
    bool apriTestoAiuto(const QString& nomeFile) const;

    // Ends the program at once: every wait unwinds, the chat windows close
    // and the event loop stops (through `uscita`, which tests replace).
    void FineProgramma();
    void impostaUscita(std::function<void()> uscita) { m_uscita = std::move(uscita); }
    bool programmaTerminato() const { return m_terminato; }

    // ---- the windows, each created on first use ----
    frmClient* FrmClient();
    frmSplash* FrmSplash();
    frmLogin* FrmLogin();
    frmNewUser* FrmNewUser();
    frmListaUtenti* FrmListaUtenti();
    frmListaStanze* FrmListaStanze();
    frmNuovaStanza* FrmNuovaStanza();
    // The instance if it exists now, without creating one.
    frmClient* FrmClientEsistente() const;
    frmSplash* FrmSplashEsistente() const;
    frmLogin* FrmLoginEsistente() const;
    frmNewUser* FrmNewUserEsistente() const;
    frmListaUtenti* FrmListaUtentiEsistente() const;
    frmListaStanze* FrmListaStanzeEsistente() const;
    frmNuovaStanza* FrmNuovaStanzaEsistente() const;

    // The contact list file was too large to read: it is left untouched.
    bool contactListRifiutata() const { return m_contactListRifiutata; }

private:
    bool caricaMastersDa(const QString& nomeFile, bool conMessaggi);
    bool scriviMasters(const QString& nomeFile, const Lista1<MasterRecord>& lista) const;

    std::unique_ptr<Stanza> m_stanzaCorrente;
    CollegamentoMaster m_master;
    CollegamentoMaster m_registrazione;
    Servizi m_servizi;
    QString m_cartellaProgramma;
    QString m_cartellaEseguibile;
    Intervalli m_intervalli;
    quint16 m_portaAscoltoVoice = 13000;
    std::function<void()> m_uscita;
    bool m_terminato = false;
    bool m_contactListRifiutata = false;

    QPointer<frmClient> m_frmClient;
    QPointer<frmSplash> m_frmSplash;
    QPointer<frmLogin> m_frmLogin;
    QPointer<frmNewUser> m_frmNewUser;
    QPointer<frmListaUtenti> m_frmListaUtenti;
    QPointer<frmListaStanze> m_frmListaStanze;
    QPointer<frmNuovaStanza> m_frmNuovaStanza;

    // Questions of the sub-protocols are asked one at a time; those that
    // arrive meanwhile wait here, one per partner and kind.
    enum class TipoDomanda { Invito, ContactList, Avviso };
    struct DomandaInAttesa
    {
        TipoDomanda tipo = TipoDomanda::Avviso;
        QString partner;
        QString testo;
    };
    void esitoStanzaPrivata(const RispostaMaster& esito, const QString& giaEsiste,
                            const QString& rifiutata, const QString& altro);
    void chiediDomanda(const DomandaInAttesa& domanda);
    void rispondiDomandeInAttesa();
    void rispondiDomanda(const DomandaInAttesa& domanda);
    bool inviaTestoPrivato(const QString& destinatario, const QString& testo);
    DomandaInAttesa m_domandaCorrente;
    QList<DomandaInAttesa> m_domandeInAttesa;
    bool m_domandaAperta = false;
    // Owns the deferred start of the question boxes: gone with this object.
    QObject m_contestoDomande;
    // Partners this lobby invited and whose answer has not come yet: only
    // their acceptance may start a private room.
    QStringList m_invitiInAttesa;
    // Likewise the partners asked to be put in our contact list.
    QStringList m_richiesteContactListInAttesa;
};

} // namespace kalimo::lobby
