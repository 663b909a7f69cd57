#include "lobby/frmlistastanze.h"

#include "lobby/module1.h"
#include "platform/desktop/attesa.h"
#include "platform/desktop/grigliatabella.h"
#include "protocol/codes.h"
#include "protocol/framing.h"
#include "protocol/values.h"
#include "ui_frmlistastanze.h"

#include <QCloseEvent>
#include <QIcon>

#include <algorithm>

namespace kalimo::lobby {

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
    // Only a listing of our own still running skips the tick; another
    // exchange in flight just goes first.
    if (!m_elencoInCorso) {
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

std::optional<Message> frmListaStanze::richiesta(QStringView codice, const QStringList& parametri,
                                                 bool sempre)
{
    OperazioneAnnullata = false;
    const RispostaMaster r =
        m.RichiestaAlMaster(codice, parametri, m.intervalli().rispostaMaster,
                            [this] { return OperazioneAnnullata || m_chiusa; });
    if (m_chiusa || m.programmaTerminato())
        return std::nullopt;
    const bool mostra = sempre || MostraMessaggi;
    if (OperazioneAnnullata) {
        if (mostra)
            messaggio(tr("Operazione annullata"), tr("Kalimo 2.0b"));
        OperazioneAnnullata = false;
        return std::nullopt;
    }
    if (r.esito == EsitoRichiesta::TimeOut) {
        if (mostra)
            messaggio(tr("Il master non ha risposto in tempo"), tr("Kalimo 2.0b"));
        return std::nullopt;
    }
    // A lost connection ends the listing; the main window says so.
    if (!r.risposta())
        return std::nullopt;
    return r.messaggio;
}

void frmListaStanze::RichiediListaStanze()
{
    m_elencoInCorso = true;
    ++m_occupata;
    ui->CmdAggiorna->setEnabled(false);
    m.ListaStanze.svuota();
    OperazioneAnnullata = false;

    elencaListe();

    m_elencoInCorso = false;
    ui->CmdAggiorna->setEnabled(true);
    if (--m_occupata == 0 && m_chiusa)
        deleteLater();
}

void frmListaStanze::elencaListe()
{
    const std::optional<Message> r = richiesta(master::request::RoomListCount, {}, false);
    if (!r || r->code != master::reply::RoomListCount)
        return;
    const std::optional<int> liste = parseInt(r->block);
    if (!liste)
        return;
    if (*liste < 1) {
        if (MostraMessaggi)
            messaggio(tr("Non ci sono stanze attualmente"), tr("Kalimo 2.0b"));
        return;
    }
    for (int i = 1; i <= *liste; ++i) {
        if (!elencaStanze(i))
            return;
    }
}

bool frmListaStanze::elencaStanze(int lista)
{
    const std::optional<Message> r =
        richiesta(master::request::RoomCount, {QString::number(lista)}, false);
    if (!r)
        return false;
    int stanze = 0;
    if (r->code == master::reply::RoomCount) {
        const std::optional<int> n = parseInt(r->block);
        if (!n)
            return false;
        stanze = *n;
    } else if (r->code != master::reply::NoRooms) {
        return false;
    }
    for (int j = 1; j <= stanze; ++j) {
        const std::optional<Message> record = richiesta(
            master::request::RoomRecord, {QString::number(lista), QString::number(j)}, true);
        if (!record)
            return false;
        if (record->code == master::reply::RoomRecord) {
            if (!AggiungiStanza(record->fields))
                return false;
        } else if (record->code != master::reply::NoRoomHere) {
            return false;
        }
    }
    return true;
}

bool frmListaStanze::AggiungiStanza(const QStringList& campi)
{
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
    // A click during the password prompt or the wrong-password pause would
    // open a second prompt over the first.
    if (m_chiusa || m_inAccesso)
        return;
    const int indice = indiceScelto();
    if (indice == 0)
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
    m_inAccesso = true;
    if (passwordAccettata(corrente)) {
        // The running voice client is asked to close only now, when the
        // new room is certain: a cancelled password keeps the user where he is.
        if (m.AvviaVoice(false))
            cmdEsci_Click();
    }
    m_inAccesso = false;
    if (--m_occupata == 0 && m_chiusa)
        deleteLater();
}

int frmListaStanze::indiceScelto() const
{
    const int riga = m_griglia->rigaFineSelezione();
    if (riga < 1)
        return 0;
    // The row's own room, wherever a sort has moved the row.
    const int indice = m_griglia->datoRiga(riga);
    return indice >= 1 && indice <= m.ListaStanze.UBound() ? indice : 0;
}

bool frmListaStanze::passwordAccettata(Stanza& corrente)
{
    // The listing only says that the room has a password: the master
    // checks what the user types.
    const bool protetta = !corrente.Password.isEmpty();
    if (protetta) {
        const QString risposta = m.dialoghi().input(
            tr("Richiesta Password di accesso"),
            tr("Inserire la password per il collegamento alla stanza ") + corrente.Nome);
        if (risposta.isEmpty() || m_chiusa)
            return false;
        const RispostaMaster esito =
            m.RichiestaAlMaster(master::request::RoomPassword, {corrente.Nome, risposta},
                                m.intervalli().rispostaMaster);
        if (m_chiusa || m.programmaTerminato())
            return false;
        if (esito.esito == EsitoRichiesta::TimeOut) {
            messaggio(tr("Il master non ha risposto in tempo"), tr("Kalimo 2.0b"));
            return false;
        }
        corrente.Password = esito.e(master::reply::PasswordRight) ? risposta : QString();
    }
    if (protetta && corrente.Password.isEmpty()) {
        Attesa::Pausa(m.intervalli().pausaPasswordErrata);
        if (m.programmaTerminato())
            return false;
        messaggio(tr("Attenzione!!! la password non è corretta"), tr("Kalimo 2.0b"));
        corrente.Nome.clear();
        return false;
    }
    return true;
}

} // namespace kalimo::lobby
