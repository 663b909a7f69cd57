#include "voice/frmvoiceclient.h"

#include "platform/desktop/attesa.h"
#include "platform/desktop/grigliatabella.h"
#include "platform/session/sessiontypes.h"
#include "protocol/codes.h"
#include "protocol/framing.h"
#include "protocol/message.h"
#include "protocol/separators.h"
#include "protocol/values.h"
#include "resources/risorse.h"
#include "ui_frmvoiceclient.h"
#include "voice/canalestanza.h"
#include "voice/collegamentolobby.h"
#include "voice/frmchat.h"
#include "voice/module1.h"
#include "voice/vistabanner.h"

#include <QApplication>
#include <QCloseEvent>
#include <QIcon>
#include <QKeyEvent>
#include <QMenu>

using namespace Qt::StringLiterals;

namespace kalimo::voce {

namespace {

// The talk state goes without the final blank.
QString messaggioParlo(const QString& nick, bool parlo)
{
    return senderMessage(inroom::request::TalkState, stripControlCharacters(nick),
                         parameterBlock({parlo ? u"true"_s : u"false"_s}), false);
}

// Invitations and their answers name the other nick right after SEP2.
QString messaggioInvito(QStringView codice, const QString& nick, const QString& altro)
{
    return senderMessage(codice, stripControlCharacters(nick), stripControlCharacters(altro));
}

constexpr QChar kCR = u'\r';
const QString kCRLF = QStringLiteral("\r\n");

} // namespace

frmVoiceClient::frmVoiceClient(Module1& modulo, QWidget* parent)
    : QWidget(parent), m_modulo(modulo), ui(std::make_unique<Ui::frmVoiceClient>())
{
    inizializzaRisorse();
    ui->setupUi(this);
    m_grigliaTabella = std::make_unique<GrigliaTabella>(ui->grdUtenti);
    m_griglia = m_grigliaTabella.get();
    ui->grdUtenti->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(ui->grdUtenti, &QWidget::customContextMenuRequested, this, [this](const QPoint& p) {
        if (const auto menu = menuMembro(ui->grdUtenti->rowAt(p.y())))
            menu->exec(ui->grdUtenti->viewport()->mapToGlobal(p));
    });
    ui->PicMic->setPixmap(QIcon(u":/kalimo/microfono.svg"_s).pixmap(16, 16));

    connect(ui->perla, &QPushButton::clicked, this, &frmVoiceClient::IniziaParlare);
    connect(ui->muto, &QPushButton::clicked, this, &frmVoiceClient::FinisciParlare);
    connect(ui->chiudi, &QPushButton::clicked, this, &frmVoiceClient::Chiudi);
    connect(ui->cmdStanzaPrivata, &QPushButton::clicked, this, &frmVoiceClient::InvitaInPrivato);
    m_chat = std::make_unique<ChatStanza>(m_modulo, [this](const QString& m) { Invia(m); });
    connect(ui->cmdChatTestuale, &QPushButton::clicked, m_chat.get(),
            &ChatStanza::ApriChatPubblica);
    connect(ui->cmdChatPrivata, &QPushButton::clicked, this, &frmVoiceClient::ApriChatPrivata);
    connect(ui->optRecordSet, &QRadioButton::toggled, ui->SldRegistrazione, &QWidget::setEnabled);
    connect(ui->optVolumeSet, &QRadioButton::toggled, ui->sldVolume, &QWidget::setEnabled);
    // Choosing "Default" again must also drop the manual level, not only
    // freeze its slider.
    for (QRadioButton* opzione : {ui->optRecordSet, ui->optVolumeSet})
        connect(opzione, &QRadioButton::toggled, this, &frmVoiceClient::applicaVolumi);
    for (QSlider* cursore : {ui->SldRegistrazione, ui->sldVolume})
        connect(cursore, &QSlider::valueChanged, this, &frmVoiceClient::applicaVolumi);

    // Any mouse button on cmdParla talks, which QPushButton alone does not offer.
    ui->cmdParla->installEventFilter(this);
    // Ctrl talks whatever control of the window has the focus.
    qApp->installEventFilter(this);

    for (QTimer* timer : {&tmrRefreshBanner, &TimerConnessione})
        timer->setParent(this);
    tmrRefreshBanner.setObjectName(u"tmrRefreshBanner"_s);
    TimerConnessione.setObjectName(u"TimerConnessione"_s);
    tmrRefreshBanner.setInterval(m_modulo.intervalli().banner);
    connect(&tmrRefreshBanner, &QTimer::timeout, this, &frmVoiceClient::AggiornaBanner);
    TimerConnessione.setInterval(m_modulo.intervalli().connessioneLobby);
    m_collegamento = std::make_unique<CollegamentoLobby>(TimerConnessione);
    // The lobby closing the link wants us gone, as the close button does.
    connect(m_collegamento.get(), &CollegamentoLobby::chiusoDallaLobby, this,
            &frmVoiceClient::esci);
    m_banner = std::make_unique<VistaBannerTesto>(ui->WB);
}

frmVoiceClient::~frmVoiceClient()
{
    qApp->removeEventFilter(this);
    // The room outlives the window: it must not draw into a grid that is gone.
    if (m_modulo.StanzaCorrente().grdUtenti == m_griglia)
        m_modulo.StanzaCorrente().grdUtenti = nullptr;
}

void frmVoiceClient::Carica()
{
    Stanza& stanza = m_modulo.StanzaCorrente();
    m_canale = m_modulo.servizi().creaCanale();
    stanza.PictureMicrofono = ui->PicMic->pixmap().toImage();

    const bool banner = !m_modulo.IndirizzoBanner.isEmpty();
    ui->picBanner->setVisible(banner);
    if (banner) {
        m_banner->apri(m_modulo.IndirizzoBanner);
        tmrRefreshBanner.start();
    } else {
        tmrRefreshBanner.stop();
    }

    setWindowTitle(tr("Sei collegato alla stanza ") + stanza.Nome);
    stanza.AttivaGrafica = true;
    stanza.VisualizzaUtenti(0);
    stanza.grdUtenti = m_griglia;
    registraGestori();

    ui->lblNomeStanza->setText(stanza.Nome);
    ui->lblNUM->setText(QString::number(stanza.MaxUtenti));
    ui->lblNUPM->setText(QString::number(stanza.MaxUtentiAudio));

    if (!ConnettiStanza())
        return;
    // Linked before the audio set-up may open: a lobby that closes the link
    // meanwhile ends us, whatever window is open.
    AvviaCollegamentoLobby();
    ConnettiVoce();
}

void frmVoiceClient::registraGestori()
{
    CanaleStanza* c = m_canale.get();
    connect(c, &CanaleStanza::Receive, this, &frmVoiceClient::GestisciDatiArrivati);
    connect(c, &CanaleStanza::TerminateSession, this, &frmVoiceClient::SessioneTerminata);
    connect(c, &CanaleStanza::InputLevel, this, [this](int picco) {
        if (picco != 0)
            ui->pbInputLevel->setValue(picco);
    });
    connect(c, &CanaleStanza::OutputLevel, this, [this](int picco) {
        if (picco != 0)
            ui->pbOutPutLevel->setValue(picco);
    });
    connect(c, &CanaleStanza::RecordStart, this, [this] {
        if (!m_rifiutato)
            impostaEtichetta(ui->lblEstParlante, tr("Audio attivo"));
    });
    connect(c, &CanaleStanza::RecordStop, this, [this] {
        if (!m_rifiutato)
            impostaEtichetta(ui->lblEstParlante, tr("Audio in pausa"));
    });
    connect(c, &CanaleStanza::ErroreAudio, this, &frmVoiceClient::erroreAudio);
}

bool frmVoiceClient::ConnettiStanza()
{
    const Stanza& stanza = m_modulo.StanzaCorrente();
    bool risposta = false;
    bool scaduto = false;
    auto collegamento =
        connect(m_canale.get(), &CanaleStanza::EnumHostsResponse, this, [&] { risposta = true; });
    QTimer limite;
    limite.setSingleShot(true);
    connect(&limite, &QTimer::timeout, this, [&] { scaduto = true; });
    limite.start(m_modulo.intervalli().enumerazione);
    m_canale->EnumHosts(stanza.IPStanza, quint16(stanza.PortaUtenti.toUInt()));
    const int esito = Attesa::finche({[&] { return risposta; }, [&] { return scaduto; }});
    disconnect(collegamento);
    if (esito == Attesa::kInterrotta)
        return false;
    if (!risposta) {
        m_canale->StopEnumHosts();
        uscitaFatale(
            tr("Impossibile connettersi alla stanza; problema sull'enumerazione degli host"),
            tr("Errore"), Icona::Critica);
        return false;
    }

    int risultato = -1;
    collegamento = connect(m_canale.get(), &CanaleStanza::ConnectComplete, this,
                           [&](int r) { risultato = r; });
    m_canale->Connect(m_modulo.UtenteLocale.NickName, stanza.Password);
    const bool arrivato = Attesa::finche([&] { return risultato >= 0; });
    disconnect(collegamento);
    if (!arrivato)
        return false;
    if (risultato != 0) {
        uscitaFatale(testoRifiuto(risultato), Module1::titolo(), Icona::Nessuna);
        return false;
    }
    return true;
}

// The host says why it refused: a full room keeps its old text.
QString frmVoiceClient::testoRifiuto(int risultato)
{
    using session::SessionResult;
    const QString prefisso = tr("Non e' possibile collegarsi alla stanza, ");
    switch (SessionResult(risultato)) {
    case SessionResult::WrongPassword:
        return prefisso + tr("la password della stanza non e' corretta");
    case SessionResult::NameInUse:
        return prefisso + tr("nella stanza c'e' gia' un utente con il tuo nome");
    case SessionResult::BadTicket:
        return prefisso + tr("il master non ha autorizzato l'accesso con questo nome");
    default:
        return prefisso + tr("i posti disponibili sono tutti occupati");
    }
}

bool frmVoiceClient::ConnettiVoce()
{
    m_config = VoiceClientConfig{};
    m_config.flags = VoiceClientConfig::RecordMuted;
    m_config.threshold = VoiceClientConfig::ThresholdUnused;
    m_config.notificationPeriod = 100;

    VoiceResult esito;
    for (int tentativo = 0; tentativo < 2; ++tentativo) {
        bool arrivato = false;
        auto collegamento =
            connect(m_canale.get(), &CanaleStanza::VoceConnessa, this, [&](const VoiceResult& r) {
                esito = r;
                arrivato = true;
            });
        m_canale->ConnettiVoce(m_config);
        const bool ok = Attesa::finche([&] { return arrivato; });
        disconnect(collegamento);
        if (!ok)
            return false;
        if (esito.ok())
            return true;
        // First use: the audio set-up, then one more try.
        if (esito.error != VoiceError::SetupRequired || tentativo > 0)
            break;
        if (m_modulo.servizi().impostaAudio)
            m_modulo.servizi().impostaAudio(this);
        if (m_chiusura)
            return false;
    }
    erroreAudio(esito);
    return false;
}

void frmVoiceClient::erroreAudio(const VoiceResult& esito)
{
    if (m_chiusura)
        return;
    uscitaFatale(tr("La periferica Audio non funziona correttamente") + kCRLF +
                     tr("oppure non e' possibile inizializzare le DirectX ") + kCRLF +
                     tr("Error:") + QString::number(esito.code()) + kCRLF +
                     tr(" Error Description: ") + esito.detail,
                 tr("Errore Fatale"), Icona::Critica);
}

void frmVoiceClient::uscitaFatale(const QString& testo, const QString& titolo, Icona icona)
{
    m_chiusura = true;
    m_modulo.dialoghi().messaggio(testo, titolo, icona, Pulsanti::Ok);
    hide();
    finisci(Module1::kUscitaFallimento);
}

void frmVoiceClient::finisci(int codice)
{
    TerminaSessione();
    m_modulo.TerminaProgramma(codice);
}

void frmVoiceClient::TerminaSessione()
{
    // Marked at the start: a close request during the pauses must not start
    // a second clean-up.
    if (m_pulito || !m_canale)
        return;
    m_pulito = true;
    disconnect(m_canale.get(), nullptr, this, nullptr);
    const int pausa = m_modulo.intervalli().pausaChiusura;
    m_canale->DisconnettiVoce();
    Attesa::Pausa(pausa);
    m_canale->Close();
    Attesa::Pausa(pausa);
    for (auto oggetto : {CanaleStanza::Oggetto::Voce, CanaleStanza::Oggetto::Sessione,
                         CanaleStanza::Oggetto::Radice}) {
        m_canale->Rilascia(oggetto);
        Attesa::Pausa(pausa);
    }
}

void frmVoiceClient::Chiudi()
{
    esci();
}

void frmVoiceClient::closeEvent(QCloseEvent* event)
{
    event->accept();
    esci();
}

// `chiudi` and the window's own close end alike: the voice link and every
// room chat window go before the clean-up.
void frmVoiceClient::esci()
{
    if (m_chiusura)
        return;
    m_chiusura = true;
    m_collegamento->chiudi();
    m_chat->ScaricaTutte();
    hide();
    m_config.notificationPeriod = 0;
    applicaConfigurazione();
    Attesa::Pausa(0);
    finisci(0);
}

void frmVoiceClient::SessioneTerminata()
{
    if (m_sessioneFinita || m_chiusura)
        return;
    m_sessioneFinita = true;
    m_modulo.dialoghi().messaggio(tr("La connessione alla stanza e' terminata."), tr("Uscita"),
                                  Icona::Informazione, Pulsanti::Ok);
    m_config.notificationPeriod = 0;
    applicaConfigurazione();
    for (QWidget* w :
         {static_cast<QWidget*>(ui->cmdChatPrivata), static_cast<QWidget*>(ui->cmdStanzaPrivata),
          static_cast<QWidget*>(ui->cmdParla), static_cast<QWidget*>(ui->perla),
          static_cast<QWidget*>(ui->muto), static_cast<QWidget*>(ui->cmdChatTestuale),
          static_cast<QWidget*>(ui->frmRicezione), static_cast<QWidget*>(ui->FrmTrasmissione)})
        w->setEnabled(false);
}

// ---- the room host's messages ----

void frmVoiceClient::GestisciDatiArrivati(const QString& dati)
{
    for (const Message& messaggio : decodeMessages(dati)) {
        if (m_chiusura)
            return;
        if (const std::optional<inroom::Event> evento = inroom::decodeEvent(messaggio))
            GestisciEvento(*evento);
    }
    rispondiDomande();
}

void frmVoiceClient::GestisciEvento(const inroom::Event& e)
{
    using K = inroom::Event::Kind;
    switch (e.kind) {
    case K::TalkRefused:
        return ParlareRifiutato();
    case K::MemberJoined:
        return utenteEntrato(e.nick, e.id);
    case K::MemberLeft:
        return utenteUscito(e.nick);
    case K::Speaking:
        return segnoParlante(e.id, e.speaking);
    case K::PublicText:
        return m_chat->RigaPubblica(e.nick, e.text);
    case K::PrivateText:
        return m_chat->RigaPrivata(e.nick, e.text);
    case K::OwnPrivateText:
        return m_chat->RigaPropria(e.nick, e.text);
    case K::InviteAccepted:
    case K::InviteRefused:
        // Only the answer to an invitation of ours: a forged one would have
        // the lobby create a room nobody asked for.
        if (!m_invitiInviati.removeOne(e.nick))
            return;
        [[fallthrough]];
    case K::Invited:
        // The boxes wait their turn; the room goes on updating behind them.
        m_domande.append(e);
        return;
    }
}

void frmVoiceClient::rispondiDomande()
{
    if (m_domandaAperta)
        return;
    m_domandaAperta = true;
    while (!m_domande.isEmpty() && !m_chiusura) {
        const inroom::Event e = m_domande.takeFirst();
        if (e.kind == inroom::Event::Kind::Invited)
            invitoRicevuto(e.nick);
        else if (e.kind == inroom::Event::Kind::InviteAccepted)
            invitoAccettato(e.nick);
        else
            m_modulo.dialoghi().messaggio(tr("L'Utente ") + e.nick +
                                              tr(" non ha accettato l'invito"),
                                          Module1::titolo(), Icona::Informazione, Pulsanti::Ok);
    }
    m_domandaAperta = false;
}

void frmVoiceClient::invitoAccettato(const QString& nick)
{
    m_modulo.dialoghi().messaggio(tr("L'utente ") + nick + tr(" ha accettato il tuo l'invito.") +
                                      kCR + tr("Cliccando su OK verrà creata la stanza"),
                                  Module1::titolo(), Icona::Informazione, Pulsanti::Ok);
    if (!m_chiusura)
        InviaAlLobby(voiceLinkMessage(voicelink::CreatePrivateRoom, nick));
}

void frmVoiceClient::utenteEntrato(const QString& nick, int id)
{
    Stanza& stanza = m_modulo.StanzaCorrente();
    stanza.AggiungiUtente(id, nick, QString());
    stanza.VisualizzaUtenti(0);
    aggiornaConteggi();
    // The volume and mute this user gave the member in an earlier room.
    if (m_canale && nick != m_modulo.UtenteLocale.NickName) {
        const AudioSettings::MemberLevel livello = m_canale->LivelloMembro(nick);
        if (livello != AudioSettings::MemberLevel{})
            m_canale->ImpostaLivelloMembro(id, nick, livello);
    }
}

std::unique_ptr<QMenu> frmVoiceClient::menuMembro(int riga)
{
    const UtentePtr membro = m_modulo.StanzaCorrente().Utenti(riga);
    if (riga < 1 || !membro || !m_canale || membro->NickName == m_modulo.UtenteLocale.NickName)
        return nullptr;
    const qint32 id = membro->IDUtente;
    const QString nick = membro->NickName;
    const AudioSettings::MemberLevel livello = m_canale->LivelloMembro(nick);
    auto menu = std::make_unique<QMenu>(this);
    menu->setObjectName(u"mnuMembro"_s);
    connect(menu->addAction(tr("Volume…")), &QAction::triggered, this,
            [this, id, nick] { volumeMembro(id, nick); });
    connect(menu->addAction(livello.muted ? tr("Riattiva") : tr("Silenzia")), &QAction::triggered,
            this, [this, id, nick, livello] {
                AudioSettings::MemberLevel nuovo = livello;
                nuovo.muted = !livello.muted;
                m_canale->ImpostaLivelloMembro(id, nick, nuovo);
            });
    return menu;
}

void frmVoiceClient::volumeMembro(qint32 id, const QString& nick)
{
    AudioSettings::MemberLevel livello = m_canale->LivelloMembro(nick);
    const QString testo =
        m_modulo.dialoghi().input(tr("Volume"), tr("Volume di %1, da 0 a 200 %:").arg(nick),
                                  QString::number(livello.percent));
    if (testo.isEmpty())
        return; // cancelled
    bool ok = false;
    const int percento = testo.trimmed().remove(u'%').trimmed().toInt(&ok);
    if (!ok || percento < 0 || percento > 200) {
        m_modulo.dialoghi().messaggio(tr("Il volume deve essere un numero da 0 a 200."),
                                      Module1::titolo(), Icona::Avviso, Pulsanti::Ok);
        return;
    }
    livello.percent = percento;
    m_canale->ImpostaLivelloMembro(id, nick, livello);
}

void frmVoiceClient::utenteUscito(const QString& nick)
{
    Stanza& stanza = m_modulo.StanzaCorrente();
    if (!stanza.EstPresenteUtente(nick))
        return;
    m_canale->RimuoviParlante(stanza.DammiIDPerNick(nick));
    stanza.EliminaUtente(nick);
    stanza.VisualizzaUtenti(0);
    aggiornaConteggi();
}

void frmVoiceClient::segnoParlante(int id, bool parla)
{
    Stanza& stanza = m_modulo.StanzaCorrente();
    const QString nick = stanza.DammiNickPerID(id);
    if (nick.isEmpty())
        return;
    if (parla)
        stanza.UtenteParlante(nick);
    else
        stanza.UtenteMuto(nick);
    stanza.VisualizzaUtenti(0);
    aggiornaConteggi();
}

void frmVoiceClient::aggiornaConteggi()
{
    const Stanza& stanza = m_modulo.StanzaCorrente();
    impostaEtichetta(ui->lblNUC, QString::number(stanza.NumUtenti()));
    impostaEtichetta(ui->lblNUPC, QString::number(stanza.NumUtentiAudio()));
}

void frmVoiceClient::invitoRicevuto(const QString& invitante)
{
    const Risposta r = m_modulo.dialoghi().messaggio(
        tr("L'utente ") + invitante + tr(" ti invita in privato; ") + kCR + tr("Accetti?"),
        tr("Invito"), Icona::Domanda, Pulsanti::SiNo);
    if (m_chiusura)
        return;
    const QString& nick = m_modulo.UtenteLocale.NickName;
    if (r == Risposta::Si) {
        Invia(messaggioInvito(inroom::request::AcceptInvite, nick, invitante));
        InviaAlLobby(voiceLinkMessage(voicelink::AwaitRoomData, u"NO PARAMETRI"));
    } else {
        Invia(messaggioInvito(inroom::request::RefuseInvite, nick, invitante));
    }
}

void frmVoiceClient::ApriChatPrivata()
{
    const int riga = m_griglia->rigaCorrente();
    if (riga >= 1 && riga < m_griglia->righe())
        m_chat->ApriChatPrivata(m_griglia->testo(riga, 1));
}

void frmVoiceClient::InvitaInPrivato()
{
    const int riga = m_griglia->rigaCorrente();
    if (riga < 1 || riga >= m_griglia->righe())
        return;
    const QString invitato = m_griglia->testo(riga, 1);
    if (invitato.isEmpty() || invitato == m_modulo.UtenteLocale.NickName)
        return;
    Invia(messaggioInvito(inroom::request::Invite, m_modulo.UtenteLocale.NickName, invitato));
    if (!m_invitiInviati.contains(invitato))
        m_invitiInviati.append(invitato);
}

void frmVoiceClient::Invia(const QString& messaggio)
{
    if (m_canale && !m_pulito)
        m_canale->Send(messaggio);
}

void frmVoiceClient::InviaAlLobby(const QString& messaggio)
{
    m_collegamento->invia(messaggio);
}

void frmVoiceClient::AvviaCollegamentoLobby()
{
    m_collegamento->avvia();
}

void frmVoiceClient::AggiornaBanner()
{
    // Every MinutiRefreshBanner ticks; 0 and 1 both mean every tick.
    ContatoreBanner += 1;
    if (ContatoreBanner >= m_modulo.MinutiRefreshBanner) {
        m_banner->apri(m_modulo.IndirizzoBanner);
        ContatoreBanner = 0;
    }
}

// ---- talking ----

void frmVoiceClient::IniziaParlare()
{
    if (m_inParola || m_sessioneFinita)
        return;
    m_inParola = true;
    m_rifiutato = false;
    m_config.flags = VoiceClientConfig::AutoVoiceActivated | VoiceClientConfig::AutoRecordVolume;
    applicaConfigurazione();
    impostaEtichetta(ui->lblEstParlante, tr("Audio attivo"));
    Invia(messaggioParlo(m_modulo.UtenteLocale.NickName, true));
}

void frmVoiceClient::FinisciParlare()
{
    if (!m_inParola)
        return;
    m_inParola = false;
    m_rifiutato = false;
    m_config.flags = VoiceClientConfig::RecordMuted;
    applicaConfigurazione();
    impostaEtichetta(ui->lblEstParlante, tr("Audio in pausa"));
    Invia(messaggioParlo(m_modulo.UtenteLocale.NickName, false));
    ui->pbInputLevel->setValue(1);
}

void frmVoiceClient::ParlareRifiutato()
{
    m_rifiutato = true;
    m_config.flags = VoiceClientConfig::RecordMuted;
    applicaConfigurazione();
    impostaEtichetta(ui->lblEstParlante, tr("Non puoi parlare"));
}

void frmVoiceClient::applicaVolumi()
{
    m_config.recordVolume = ui->optRecordSet->isChecked() ? ui->SldRegistrazione->value() : 0;
    m_config.playbackVolume = ui->optVolumeSet->isChecked() ? ui->sldVolume->value() : 0;
    applicaConfigurazione();
}

void frmVoiceClient::applicaConfigurazione()
{
    if (m_canale && !m_pulito)
        m_canale->SetClientConfig(m_config);
}

void frmVoiceClient::impostaEtichetta(QLabel* etichetta, const QString& testo)
{
    etichetta->setText(testo);
    Q_EMIT etichettaCambiata(etichetta->objectName(), testo);
}

bool frmVoiceClient::eventFilter(QObject* oggetto, QEvent* evento)
{
    if (oggetto == ui->cmdParla) {
        switch (evento->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonDblClick:
            IniziaParlare();
            break;
        case QEvent::MouseButtonRelease:
            FinisciParlare();
            break;
        default:
            break;
        }
    }
    if (evento->type() == QEvent::KeyPress || evento->type() == QEvent::KeyRelease)
        tastoCtrl(oggetto, evento);
    return QWidget::eventFilter(oggetto, evento);
}

bool frmVoiceClient::tastoCtrl(QObject* oggetto, QEvent* evento)
{
    const auto* tasto = static_cast<const QKeyEvent*>(evento);
    if (tasto->key() != Qt::Key_Control || !oggetto->isWidgetType() ||
        static_cast<QWidget*>(oggetto)->window() != this || !ui->cmdParla->isEnabled())
        return false;
    // Ctrl alone: Shift, Alt or Meta held beside it neither starts nor stops.
    const Qt::KeyboardModifiers altri =
        tasto->modifiers() & (Qt::ShiftModifier | Qt::AltModifier | Qt::MetaModifier);
    if (altri)
        return false;
    if (evento->type() == QEvent::KeyPress)
        IniziaParlare();
    else
        FinisciParlare();
    return true;
}

} // namespace kalimo::voce
