#include "lobby/frmlistautenti.h"

#include "lobby/frmchat2.h"
#include "lobby/module1.h"
#include "platform/desktop/grigliatabella.h"
#include "protocol/codes.h"
#include "protocol/framing.h"
#include "ui_frmlistautenti.h"

#include <QCloseEvent>
#include <QPointer>

namespace kalimo::lobby {

frmListaUtenti::frmListaUtenti(Module1& modulo, QWidget* parent)
    : QWidget(parent), m(modulo), ui(std::make_unique<Ui::frmListaUtenti>())
{
    ui->setupUi(this);
    m_griglia = std::make_unique<GrigliaTabella>(ui->grd);

    connect(&tmrAvvio, &QTimer::timeout, this, &frmListaUtenti::tmrAvvio_Timer);
    connect(ui->cmdAggionaCL, &QPushButton::clicked, this, &frmListaUtenti::cmdAggionaCL_Click);
    connect(ui->cmdAggiungiCL, &QPushButton::clicked, this, &frmListaUtenti::cmdAggiungiCL_Click);
    connect(ui->cmdEliminaCL, &QPushButton::clicked, this, &frmListaUtenti::cmdEliminaCL_Click);
    connect(ui->cmdContattaCL, &QPushButton::clicked, this, &frmListaUtenti::cmdContattaCL_Click);
    connect(ui->CmdAnnullaCL, &QPushButton::clicked, this, &frmListaUtenti::CmdAnnullaCL_Click);
    connect(ui->cmdEsciCL, &QPushButton::clicked, this, &frmListaUtenti::cmdEsciCL_Click);
    connect(ui->grd, &QTableWidget::cellClicked, this, &frmListaUtenti::grd_Click);

    Form_Load();
}

frmListaUtenti::~frmListaUtenti() = default;

void frmListaUtenti::Form_Load()
{
    MostraMessaggi = true;
    tmrAvvio.setInterval(m.intervalli().primoAggiornamentoListe);
    ImpostaFinestra();
    tmrAvvio.start();
}

void frmListaUtenti::tmrAvvio_Timer()
{
    tmrAvvio.setInterval(m.intervalli().aggiornamentoListe);
    MostraMessaggi = false;
    cmdAggionaCL_Click();
    MostraMessaggi = true;
}

void frmListaUtenti::cmdAggionaCL_Click()
{
    // A tick or click inside a running refresh would clear the grid under it.
    if (m_aggiornamentoInCorso)
        return;
    ImpostaFinestra();
    AggiornaContactList();
}

void frmListaUtenti::ImpostaFinestra()
{
    setWindowTitle(tr("Contact List"));
    ui->frmGriglia->setTitle(tr("Utenti della contact list"));
    ImpostaGriglia();
}

void frmListaUtenti::ImpostaGriglia()
{
    impostaSoloIntestazione(*m_griglia, {tr("Utente"), tr("Stato")}, {1, 2000, 1150});
}

void frmListaUtenti::AggiungiCT(int Ind)
{
    if (Ind < 1 || Ind > m.ContactList.UBound())
        return;
    const ContactRecord& contatto = m.ContactList[Ind];
    m_griglia->aggiungiRiga(QStringLiteral(" \t") + contatto.NickName + u'\t' +
                            (contatto.Stato == kVero ? tr("Connesso") : tr("Non Connesso")));
}

void frmListaUtenti::avviso(const QString& testo)
{
    m.dialoghi().messaggio(testo, tr("Kalimo 2.0b"), Icona::Informazione, Pulsanti::Ok);
}

void frmListaUtenti::AggiornaContactList()
{
    if (m.ConnessoAlMaster)
        RichiediStatoContatti();
    else if (MostraMessaggi)
        avviso(tr("Non si è connessi al master"));
}

void frmListaUtenti::RichiediStatoContatti()
{
    m_aggiornamentoInCorso = true;
    const bool conMessaggi = MostraMessaggi;
    do {
        m_ricomincia = false;
        const int ultimo = m.ContactList.UBound();
        for (int k = 1; k <= ultimo && k <= m.ContactList.UBound(); ++k) {
            OperazioneAnnullata = false;
            const RispostaMaster r =
                m.RichiestaAlMaster(master::request::Presence, {m.ContactList[k].NickName},
                                    m.intervalli().rispostaMaster, [this] {
                                        return OperazioneAnnullata || m_ricomincia || m_chiusa;
                                    });
            if (m_ricomincia || m_chiusa)
                break;
            if (r.esito == EsitoRichiesta::TimeOut) {
                if (conMessaggi)
                    avviso(tr("Il master non ha risposto in tempo"));
                break;
            }
            if (!r.risposta()) {
                // Otherwise the connection is gone; the main window says so.
                if (OperazioneAnnullata && conMessaggi)
                    avviso(tr("Operazione annullata"));
                OperazioneAnnullata = false;
                break;
            }
            // The list may have shrunk while the reply was awaited.
            if (k > m.ContactList.UBound())
                break;
            if (r.e(master::presence::Connected))
                m.ContactList[k].Stato = kVero;
            else if (r.e(master::presence::NotConnected) || r.e(master::presence::NoAccount))
                m.ContactList[k].Stato = kFalso;
            AggiungiCT(k);
        }
        if (m_ricomincia && !m_chiusa)
            ImpostaFinestra();
    } while (m_ricomincia && !m_chiusa);
    m_aggiornamentoInCorso = false;
    if (m_chiusa)
        deleteLater();
}

QString frmListaUtenti::nickSelezionato() const
{
    const int riga = m_griglia->rigaFineSelezione();
    if (riga < 1 || riga >= m_griglia->righe())
        return {};
    return m_griglia->testo(riga, 1);
}

void frmListaUtenti::cmdAggiungiCL_Click()
{
    const QPointer<frmListaUtenti> io = this;
    Module1& modulo = m;
    const QString nome =
        stripControlCharacters(
            modulo.dialoghi().input(tr("Aggiungi a Contact List"),
                                    tr("Indica il nome dell'utente da aggiungere nella tua "
                                       "contact list")))
            .toLower()
            .trimmed();
    if (nome.isEmpty() || modulo.EstInContactList(nome) || nome == modulo.UtenteCorrente.NickName)
        return;
    // Added only when the other user accepts (see GestisciRichiestaContactList).
    QString testo;
    if (!modulo.InviaMessaggioContactList(nome, testo, true, false, false) && io)
        avviso(tr("Non si è connessi al master"));
}

void frmListaUtenti::cmdEliminaCL_Click()
{
    const QString nick = nickSelezionato();
    if (nick.isEmpty())
        return;
    m.EliminaDaContactList(nick);
    if (m_aggiornamentoInCorso) {
        m_ricomincia = true;
        return;
    }
    ImpostaFinestra();
    AggiornaContactList();
}

void frmListaUtenti::cmdContattaCL_Click()
{
    const QString nick = nickSelezionato();
    if (nick.isEmpty() || m.DammiStatoContatto(nick) != kVero)
        return;
    bool trovata = false;
    const int ultima = m.FinestreChat.UBound();
    for (int i = 1; i <= ultima; ++i) {
        frmChat2* finestra = m.FinestraChat(i);
        if (!finestra)
            continue;
        if (finestra->SetTarget().isEmpty()) {
            finestra->deleteLater();
            continue;
        }
        if (finestra->SetTarget() == nick) {
            finestra->UtenteIgnorato = false;
            finestra->show();
            finestra->raise();
            finestra->activateWindow();
            trovata = true;
        }
    }
    if (!trovata)
        m.FinestraChat(m.NuovaFinestraChat(nick))->show();
}

void frmListaUtenti::CmdAnnullaCL_Click()
{
    OperazioneAnnullata = true;
}

void frmListaUtenti::cmdEsciCL_Click()
{
    close();
}

void frmListaUtenti::closeEvent(QCloseEvent* evento)
{
    m.ListaUtentiAperta = false;
    tmrAvvio.stop();
    evento->accept();
    m_chiusa = true;
    // A running refresh unloads the window as it unwinds.
    if (!m_aggiornamentoInCorso)
        deleteLater();
}

void frmListaUtenti::grd_Click(int riga, int colonna)
{
    Griglia& g = *m_griglia;
    if (g.righe() < 2 || riga != 0)
        return;
    OrdineGriglia = (OrdineGriglia == 0 || OrdineGriglia == 2) ? 1 : 2;
    g.ordina(1, g.righe() - 1, colonna, OrdineGriglia == 1);
    g.impostaCellaCorrente(1, colonna);
}

} // namespace kalimo::lobby
