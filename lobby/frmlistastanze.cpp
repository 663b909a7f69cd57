#include "lobby/frmlistastanze.h"

#include "lobby/frmclient.h"
#include "lobby/module1.h"
#include "platform/desktop/attesa.h"
#include "platform/desktop/grigliatabella.h"
#include "protocol/framing.h"
#include "protocol/values.h"
#include "ui_frmlistastanze.h"

#include <QCloseEvent>
#include <QIcon>

#include <algorithm>

namespace kalimo {

namespace {

QImage immagine(const QString& risorsa)
{
    return QIcon(risorsa).pixmap(16, 16).toImage();
}

} // namespace

frmListaStanze::frmListaStanze(Module1& modulo, QWidget* parent)
    : QWidget(parent), m(modulo), ui(std::make_unique<Ui::frmListaStanze>())
{
    ui->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);
    m_griglia = std::make_unique<GrigliaTabella>(ui->grd);
    picLogo = immagine(QStringLiteral(":/kalimo/logo.svg"));
    PicLucchetto = immagine(QStringLiteral(":/kalimo/lucchetto.svg"));

    connect(&tmrAvvio, &QTimer::timeout, this, &frmListaStanze::tmrAvvio_Timer);
    connect(ui->CmdAggiorna, &QPushButton::clicked, this, &frmListaStanze::CmdAggiorna_Click);
    connect(ui->cmdAnnulla, &QPushButton::clicked, this, &frmListaStanze::cmdAnnulla_Click);
    connect(ui->cmdEsci, &QPushButton::clicked, this, &frmListaStanze::cmdEsci_Click);
    connect(ui->cmdAccedi, &QPushButton::clicked, this, &frmListaStanze::cmdAccedi_Click);
    connect(ui->grd, &QTableWidget::cellClicked, this, &frmListaStanze::grd_Click);
    connect(ui->grd, &QTableWidget::cellDoubleClicked, this, [this](int riga) {
        if (riga >= 1)
            cmdAccedi_Click();
    });

    Form_Load();
}

frmListaStanze::~frmListaStanze() = default;

Griglia& frmListaStanze::griglia() const
{
    return *m_griglia;
}

void frmListaStanze::Form_Load()
{
    tmrAvvio.setInterval(m.intervalli().primoAggiornamentoListe);
    ui->CmdAggiorna->setEnabled(false);
    ImpostaFinestra();
    tmrAvvio.start();
    MostraMessaggi = true;
}

void frmListaStanze::ImpostaFinestra()
{
    setWindowTitle(tr("Lista delle stanze disponibili"));
    ui->frmGriglia->setTitle(tr("Stanze"));
    ImpostaGriglia();
    ui->frmStanze->setVisible(true);
}

void frmListaStanze::ImpostaGriglia()
{
    impostaSoloIntestazione(*m_griglia, {tr("Stanze"), tr("Utenti"), tr("Creata da"), tr("Psw")},
                            {1, 2400, 600, 930, 400});
}

void frmListaStanze::tmrAvvio_Timer()
{
    // A listing still running, or another exchange waiting on the one reply
    // slot: this tick is skipped rather than run inside it.
    const frmClient* client = m.FrmClientEsistente();
    const bool altraRichiesta = client && client->tmrControllo.isActive();
    if (!m_elencoInCorso && !altraRichiesta) {
        MostraMessaggi = false;
        CmdAggiorna_Click();
        MostraMessaggi = true;
    }
    tmrAvvio.setInterval(m.intervalli().aggiornamentoListe);
}

void frmListaStanze::CmdAggiorna_Click()
{
    if (m_elencoInCorso || m_chiusa)
        return;
    m.ListaStanze.svuota();
    ImpostaFinestra();
    AggiornaListaStanze();
}

void frmListaStanze::cmdAnnulla_Click()
{
    OperazioneAnnullata = true;
}

void frmListaStanze::cmdEsci_Click()
{
    m.ListaStanzeAperta = false;
    scarica();
}

void frmListaStanze::closeEvent(QCloseEvent* evento)
{
    m.ListaStanzeAperta = false;
    tmrAvvio.stop();
    if (m_occupata > 0) {
        // A routine of ours is waiting: it unwinds first, then the window goes.
        m_chiusa = true;
        hide();
        evento->ignore();
        return;
    }
    QWidget::closeEvent(evento);
}

void frmListaStanze::scarica()
{
    close();
}

void frmListaStanze::messaggio(const QString& testo, const QString& titolo)
{
    m.dialoghi().messaggio(testo, titolo, Icona::Informazione, Pulsanti::Ok);
}

void frmListaStanze::AggiornaListaStanze()
{
    if (m.ConnessoAlMaster)
        RichiediListaStanze();
    else if (MostraMessaggi)
        messaggio(tr("Non si è connessi al master"), tr("Kalimo 2.0b"));
}

bool frmListaStanze::richiesta(QStringView codice, const QStringList& parametri, bool sempre)
{
    OperazioneAnnullata = false;
    const EsitoRichiesta esito =
        m.RichiestaAlMaster(codice, parametri, m.intervalli().rispostaMaster,
                            [this] { return OperazioneAnnullata || m_chiusa; });
    if (m_chiusa || m.programmaTerminato())
        return false;
    const bool mostra = sempre || MostraMessaggi;
    if (OperazioneAnnullata) {
        if (mostra)
            messaggio(tr("Operazione annullata"), tr("Kalimo 2.0b"));
        OperazioneAnnullata = false;
        return false;
    }
    if (esito == EsitoRichiesta::TimeOut) {
        if (mostra)
            messaggio(tr("Il master non ha risposto in tempo"), tr("Kalimo 2.0b"));
        m.TimeOutMaster = false;
        return false;
    }
    // A lost connection ends the listing; the main window says so.
    return esito == EsitoRichiesta::Risposta;
}

void frmListaStanze::RichiediListaStanze()
{
    m_elencoInCorso = true;
    ++m_occupata;
    ui->CmdAggiorna->setEnabled(false);
    m.ListaStanze.svuota();
    OperazioneAnnullata = false;

    [this] {
        if (!richiesta(u"0002", {}, false) || m.CodiceRisposta != u"00002")
            return;
        const std::optional<int> liste = parseInt(m.ParametriRisposta);
        if (!liste)
            return;
        if (*liste < 1) {
            if (MostraMessaggi)
                messaggio(tr("Non ci sono stanze attualmente"), tr("Kalimo 2.0b"));
            return;
        }
        for (int i = 1; i <= *liste; ++i) {
            if (!richiesta(u"0003", {QString::number(i)}, false))
                return;
            int stanze = 0;
            if (m.CodiceRisposta == u"00004") {
                const std::optional<int> n = parseInt(m.ParametriRisposta);
                if (!n)
                    return;
                stanze = *n;
            } else if (m.CodiceRisposta != u"00005") {
                return;
            }
            for (int j = 1; j <= stanze; ++j) {
                if (!richiesta(u"0004", {QString::number(i), QString::number(j)}, true))
                    return;
                if (m.CodiceRisposta == u"00006") {
                    if (!AggiungiStanza(m.ParametriRisposta))
                        return;
                } else if (m.CodiceRisposta != u"00007") {
                    return;
                }
            }
        }
    }();

    m_elencoInCorso = false;
    ui->CmdAggiorna->setEnabled(true);
    if (--m_occupata == 0 && m_chiusa)
        deleteLater();
}

bool frmListaStanze::AggiungiStanza(const QString& record)
{
    const QStringList campi = splitFields(record.trimmed());
    if (campi.size() < 9)
        return false;
    const std::optional<int> presenti = parseInt(campi.at(1));
    const std::optional<qint16> massimo = parseInt16(campi.at(7));
    const std::optional<qint16> massimoAudio = parseInt16(campi.at(8));
    if (!presenti || !massimo || !massimoAudio)
        return false;

    auto stanza = std::make_unique<Stanza>();
    stanza->Nome = campi.at(0);
    stanza->MaxUtenti = *massimo;
    stanza->MaxUtentiAudio = *massimoAudio;
    // Placeholders make NumUtenti the head count of an ordinary room. Each
    // one costs a search of those before it, so a huge count from the master
    // would freeze the window: past a few hundred the count itself decides
    // whether the room is full.
    const int segnaposto = std::min({*presenti, int(*massimo), kMassimoSegnaposto});
    for (int k = 1; k <= segnaposto; ++k)
        stanza->AggiungiUtente(k, QString::number(k), QString::number(k));
    stanza->EstStabile = parseFlagWord(campi.at(2));
    stanza->Password = campi.at(3);
    stanza->IPStanza = campi.at(4);
    stanza->PortaUtenti = campi.at(5);
    stanza->EstStanzaMultipla = parseFlagWord(campi.at(6));
    const bool conLogo = stanza->EstStabile || stanza->EstStanzaMultipla;
    const bool conPassword = !stanza->Password.isEmpty();
    QString nome = stanza->Nome;
    // A tab would push the name's tail into the next column.
    nome.replace(u'\t', u' ');
    const int indice = m.ListaStanze.aggiungi(std::move(stanza));
    m_presenti.resize(indice + 1);
    m_presenti[indice] = *presenti;

    Griglia& g = *m_griglia;
    g.aggiungiRiga(QStringLiteral(" \t") + nome + u'\t' + campi.at(1) + QStringLiteral(" / ") +
                   campi.at(7) + QStringLiteral("\t\t"));
    const int riga = g.righe() - 1;
    g.impostaDatoRiga(riga, indice);
    if (conLogo) {
        g.impostaImmagine(riga, 3, picLogo);
        g.impostaTesto(riga, 3, QStringLiteral(" "));
    }
    if (conPassword) {
        g.impostaImmagine(riga, 4, PicLucchetto);
        g.impostaTesto(riga, 4, QStringLiteral(" "));
    }
    return true;
}

void frmListaStanze::grd_Click(int riga, int colonna)
{
    Griglia& g = *m_griglia;
    if (g.righe() < 2 || riga != 0)
        return;
    g.impostaCellaCorrente(1, colonna);
    OrdineGriglia = (OrdineGriglia == 0 || OrdineGriglia == 2) ? 1 : 2;
    g.ordina(1, g.righe() - 1, colonna, OrdineGriglia == 1);
}

void frmListaStanze::cmdAccedi_Click()
{
    if (m_chiusa)
        return;
    const int riga = m_griglia->rigaFineSelezione();
    if (riga < 1)
        return;
    // The row's own room, wherever a sort has moved the row.
    const int indice = m_griglia->datoRiga(riga);
    if (indice < 1 || indice > m.ListaStanze.UBound())
        return;
    const Stanza& scelta = *m.ListaStanze[indice];
    if (scelta.NumUtenti() >= scelta.MaxUtenti || m_presenti.value(indice) >= scelta.MaxUtenti) {
        messaggio(tr("La stanza ha esaurito il numero di posti disponibili"), tr("Informazione"));
        return;
    }

    Stanza& corrente = m.StanzaCorrente();
    corrente.IPStanza = scelta.IPStanza;
    corrente.Nome = scelta.Nome;
    corrente.Password = scelta.Password;
    corrente.PortaUtenti = scelta.PortaUtenti;
    corrente.MaxUtenti = scelta.MaxUtenti;
    corrente.MaxUtentiAudio = scelta.MaxUtentiAudio;

    ++m_occupata;
    [this, &corrente] {
        QString risposta;
        if (!corrente.Password.isEmpty()) {
            risposta = m.dialoghi().input(
                tr("Richiesta Password di accesso"),
                tr("Inserire la password per il collegamento alla stanza ") + corrente.Nome);
            if (risposta.isEmpty() || m_chiusa)
                return;
        }
        if (corrente.Password != risposta) {
            Attesa::Pausa(m.intervalli().pausaPasswordErrata);
            if (m.programmaTerminato())
                return;
            messaggio(tr("Attenzione!!! la password non è corretta"), tr("Kalimo 2.0b"));
            corrente.Nome.clear();
            return;
        }
        // The running voice client is asked to close only now, when the
        // new room is certain: a cancelled password keeps the user where he is.
        if (m.AvviaVoice(false))
            cmdEsci_Click();
    }();
    if (--m_occupata == 0 && m_chiusa)
        deleteLater();
}

} // namespace kalimo
