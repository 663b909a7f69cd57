#include "lobby/frmclient.h"

#include "lobby/frmlistastanze.h"
#include "lobby/frmlistautenti.h"
#include "lobby/frmlogin.h"
#include "lobby/frmnuovastanza.h"
#include "lobby/module1.h"
#include "platform/desktop/attesa.h"
#include "platform/desktop/mostrasubito.h"
#include "protocol/codes.h"
#include "protocol/framing.h"
#include "protocol/message.h"
#include "protocol/values.h"
#include "ui_frmclient.h"

#include <QCloseEvent>
#include <QSignalBlocker>

#include <limits>

namespace kalimo::lobby {

frmClient::frmClient(Module1& modulo, QWidget* parent)
    : QWidget(parent), m(modulo), ui(std::make_unique<Ui::frmClient>())
{
    ui->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);

    connect(ui->cmdConnettiti, &QPushButton::clicked, this, &frmClient::cmdConnettiti_Click);
    connect(ui->cmdGuida, &QPushButton::clicked, this, &frmClient::cmdGuida_Click);
    connect(ui->cmdOpzioni, &QPushButton::clicked, this, &frmClient::cmdOpzioni_Click);
    connect(ui->cmdListaUtenti, &QPushButton::clicked, this, &frmClient::cmdListaUtenti_Click);
    connect(ui->cmdEsci, &QPushButton::clicked, this, &frmClient::cmdEsci_Click);
    connect(ui->cmdListaStanze, &QPushButton::clicked, this, &frmClient::cmdListaStanze_Click);
    connect(ui->cmdNuovaStanza, &QPushButton::clicked, this, &frmClient::cmdNuovaStanza_Click);
    connect(&m.master(), &CollegamentoMaster::chiusoDalMaster, this, &frmClient::WSKMaster_Close);
    connect(&WSKVoice, &ElementiVoce::RichiestaConnessione, this,
            &frmClient::WSKVoice_ConnectionRequest);
    connect(&WSKVoice, &ElementiVoce::Chiusura, this, &frmClient::WSKVoice_Close);
    connect(&WSKVoice, &ElementiVoce::DatiArrivati, this, &frmClient::WSKVoice_DataArrival);

    Form_Load();
}

frmClient::~frmClient() = default;

QLabel* frmClient::lblStato() const
{
    return ui->lblStato;
}

void frmClient::Form_Load()
{
    ImpostaNonConnesso();
    setWindowTitle(tr("Kalimo 2.0b - (") + m.UtenteCorrente.NickName + u')');
}

void frmClient::ImpostaNonConnesso()
{
    impostaDidascalia(tr("Connetti"));
    ui->cmdConnettiti->setEnabled(true);
    ui->cmdListaStanze->setEnabled(false);
    ui->cmdListaUtenti->setEnabled(false);
    ui->cmdNuovaStanza->setEnabled(false);
    mostraSubito(ui->lblStato, tr("Non Connesso.") + u'\n' +
                                   tr("Clicca su 'Connetti' per entrare nel servizio."));
}

void frmClient::impostaDidascalia(const QString& testo)
{
    ui->cmdConnettiti->setText(testo);
}

bool frmClient::fermato() const
{
    return InterrompiConnessione || !m.ConnessoAlMaster;
}

void frmClient::closeEvent(QCloseEvent* evento)
{
    if (m_clickInCorso > 0) {
        InterrompiConnessione = true;
        m_chiusuraRimandata = true;
        hide();
        evento->ignore();
        return;
    }
    // The connection goes with the window: the shared state must say so.
    chiudiWSKMaster();
    m.ConnessoAlMaster = false;
    QWidget::closeEvent(evento);
}

void frmClient::cmdConnettiti_Click()
{
    ++m_clickInCorso;
    Connetti();
    if (--m_clickInCorso == 0 && m_chiusuraRimandata) {
        m_chiusuraRimandata = false;
        close();
    }
}

void frmClient::Connetti()
{
    InterrompiConnessione = false;

    if (ui->cmdConnettiti->text() != tr("Connetti")) {
        WSKVoice.Chiudi(0);
        if (m.ConnessoAlMaster) {
            mostraSubito(ui->lblStato, tr("Disconnessione in corso"));
            WSKMaster_Close();
        }
        impostaDidascalia(tr("Connetti"));
        ui->cmdOpzioni->setEnabled(true);
        InterrompiConnessione = true;
        mostraSubito(ui->lblStato, tr("Non Connesso.") + u'\n' +
                                       tr("Clicca su 'Connetti' per entrare nel servizio."));
        ControllaVersione();
        return;
    }

    for (int i = 1; i <= m.ListaMaster.UBound(); ++i) {
        if (m.ConnessoAlMaster || InterrompiConnessione)
            break;
        impostaDidascalia(tr("Disconnetti"));
        // A copy: the list may be reloaded while this attempt waits.
        const MasterRecord record = m.ListaMaster[i];
        m.ConnessoAlMaster = ConnettiMaster(record);
        if (!m.ConnessoAlMaster)
            continue;
        mostraSubito(ui->lblStato, tr("Connesso al master ") + record.Nome);

        const EsitoLogin esito = LoginMaster(record);
        if (esito == Accettato)
            loginAccettato();
        else if (esito != NessunaDecisione)
            loginRifiutato(esito);
        // No decision: the connection stays open; the user may disconnect.
    }

    if (!m.ConnessoAlMaster && !InterrompiConnessione) {
        mostraSubito(ui->lblStato, tr("Servizio non disponibile; Nessuno dei server ha risposto "
                                      "alla connessione."));
        impostaDidascalia(tr("Connetti"));
        chiudiWSKMaster();
    }
    ControllaVersione();
}

void frmClient::loginAccettato()
{
    mostraSubito(ui->lblStato, tr("Connessione al Master Eseguita"));
    ui->cmdListaUtenti->setEnabled(true);
    ui->cmdListaStanze->setEnabled(true);
    ui->cmdConnettiti->setEnabled(true);
    ui->cmdNuovaStanza->setEnabled(true);
    ui->cmdOpzioni->setEnabled(false);
    impostaDidascalia(tr("Disconnetti"));
    m.UtenteCorrente.IPAddress = m.master().indirizzoLocale();
    // Each step only while the user has not disconnected meanwhile.
    AggiornaListaMaster();
    if (!fermato())
        LeggiParametriMaster();
    if (!fermato())
        AvviaAscoltoVoice();
}

void frmClient::loginRifiutato(EsitoLogin esito)
{
    const auto avviso = [this](const QString& testo) {
        m.dialoghi().messaggio(testo, tr("Kalimo 2.0b"), Icona::Informazione, Pulsanti::Ok);
    };
    QString testo;
    switch (esito) {
    case CredenzialiErrate:
        testo = tr("Username o Password errati");
        break;
    case MasterPieno:
        testo = tr("Il Master ha raggiunto il numero massimo di utenti");
        break;
    case NonAbilitato:
        // The box comes before the status line here.
        testo = tr("Non si e' abilitati ad usare questo master");
        avviso(testo);
        mostraSubito(ui->lblStato, testo);
        break;
    case GiaCollegato:
        mostraSubito(ui->lblStato, tr("Il tuo username risulta gia' collegato. Ritenta tra "
                                      "qualche minuto"));
        impostaDidascalia(tr("Connetti"));
        chiudiWSKMaster();
        m.ConnessoAlMaster = false;
        InterrompiConnessione = true;
        avviso(tr("Il tuo username risulta gia' collegato. Attendere e rirpovare"));
        return;
    case AutenticatoreNonInLinea:
        testo = tr("Autenticatore non in linea");
        break;
    case Accettato:
    case NessunaDecisione:
        return;
    }
    if (esito != NonAbilitato) {
        mostraSubito(ui->lblStato, testo);
        avviso(testo);
    }
    chiudiWSKMaster();
    m.ConnessoAlMaster = false;
    // A full master lets the next one be tried.
    if (esito == MasterPieno)
        return;
    impostaDidascalia(tr("Connetti"));
    InterrompiConnessione = true;
}

void frmClient::ControllaVersione()
{
    if (m.VersioneMaster.isEmpty() || m.VersioneMaster == QStringView(Module1::kVersione))
        return;
    m.dialoghi().messaggio(
        tr("La tua versione del client Kalimo non e' piu' compatibile con la versione corrente "
           "dei master; Collegati al sito ") +
            Module1::sitoDownload() + tr(" e scarica la versione aggiornata"),
        tr("Attenzione!!!"), Icona::Informazione, Pulsanti::Ok);
    WSKMaster_Close();
}

bool frmClient::ConnettiMaster(const MasterRecord& record)
{
    mostraSubito(ui->lblStato, tr("In Connessione al master ") + record.Nome);
    if (m.master().connetti(
            record.Indirizzo, record.Porta, m.intervalli().rispostaMaster,
            [this] { return InterrompiConnessione; }, record.Tls))
        return true;
    // A certificate that failed says why after the usual words.
    const QString perche = m.master().motivoRifiuto();
    const QString motivo = perche.isEmpty() ? QString() : QStringLiteral(" (") + perche + u')';
    if (!InterrompiConnessione)
        mostraSubito(ui->lblStato, tr("Impossibile contattare il master ") + record.Nome + motivo);
    return false;
}

frmClient::EsitoLogin frmClient::LoginMaster(const MasterRecord& record)
{
    mostraSubito(ui->lblStato, tr("Invio della password in corso....."));
    const RispostaMaster r = m.RichiestaAlMaster(
        master::request::Login,
        {m.UtenteCorrente.NickName, record.Chiave, m.UtenteCorrente.Password},
        m.intervalli().rispostaMaster, [this] { return InterrompiConnessione; });
    if (!r.risposta())
        return NessunaDecisione;
    if (r.e(master::login::Accepted)) {
        m.IndirizzoBanner = r.campo(0);
        m.MinutiRefreshBanner = parseInt16(r.campo(1)).value_or(0);
        return Accettato;
    }
    const struct
    {
        QStringView codice;
        EsitoLogin esito;
    } rifiuti[] = {{master::login::WrongCredentials, CredenzialiErrate},
                   {master::login::Full, MasterPieno},
                   {master::login::NotEnabled, NonAbilitato},
                   {master::login::AlreadyConnected, GiaCollegato},
                   {master::login::StoreOffline, AutenticatoreNonInLinea}};
    for (const auto& rifiuto : rifiuti) {
        if (r.e(rifiuto.codice))
            return rifiuto.esito;
    }
    return NessunaDecisione;
}

void frmClient::AggiornaListaMaster()
{
    const int intervallo = m.intervalli().rispostaMaster;
    const auto fermo = [this] { return InterrompiConnessione; };

    RispostaMaster r = m.RichiestaAlMaster(master::request::MasterCount, {}, intervallo, fermo);
    if (r.esito == EsitoRichiesta::TimeOut)
        return m.MostraTimeOutMaster();
    if (!r.e(master::reply::MasterCount))
        return;
    const std::optional<qint16> quanti = parseInt16(r.messaggio.block);
    // No count, or an empty list: the stored list stays, so the next start
    // still has masters to try.
    if (!quanti || *quanti <= 0)
        return;

    Lista1<MasterRecord> nuova;
    for (int i = 1; i <= *quanti; ++i) {
        r = m.RichiestaAlMaster(master::request::MasterRecord, {QString::number(i)}, intervallo,
                                fermo);
        if (r.esito == EsitoRichiesta::TimeOut)
            return m.MostraTimeOutMaster();
        if (!r.e(master::reply::MasterRecord))
            return;
        const std::optional<MasterRecord> record = recordMaster(r.messaggio.fields);
        if (!record)
            return;
        nuova.aggiungi(*record);
    }
    m.SalvaMastersOld(m.ListaMaster);
    m.SalvaMasters(nuova);
}

std::optional<MasterRecord> frmClient::recordMaster(const QStringList& campi)
{
    const std::optional<int> porta = parseInt(campi.value(2));
    // A record that Masters.txt could not hold back (a short one, a bad
    // port, a field with the file's own separator) ends the exchange:
    // writing it would cost the next start its master list.
    if (campi.size() < 4 || !porta || *porta < 1 || *porta > 65535)
        return std::nullopt;
    for (int c = 0; c < 4; ++c) {
        if (campi.at(c).contains(u'|'))
            return std::nullopt;
    }
    MasterRecord record{campi.at(0), campi.at(1), static_cast<quint16>(*porta), campi.at(3), {}};
    // The fifth field is kept only when it reads: a bad one would make the
    // next start refuse the whole file.
    if (campi.size() > 4)
        record.Tls = parseTlsField(campi.at(4)).value_or(TlsEndpoint{});
    return record;
}

void frmClient::LeggiParametriMaster()
{
    const RispostaMaster r =
        m.RichiestaAlMaster(master::request::Limits, {}, m.intervalli().rispostaMaster,
                            [this] { return InterrompiConnessione; });
    if (!r.e(master::reply::Limits))
        return;
    m.MaxUtentiStanza = parseInt16(r.campo(0)).value_or(0);
    m.MaxUtentiAudioStanza = parseInt16(r.campo(1)).value_or(0);
    m.VersioneMaster = r.campo(2);
}

bool frmClient::AvviaAscoltoVoice()
{
    if (!WSKVoice.InAscolto()) {
        WSKVoice.Chiudi(0);
        Attesa::Pausa(0);
    }
    if (!WSKVoice.InAscolto()) {
        if (!WSKVoice.Ascolta(m.portaAscoltoVoice()))
            qWarning("kalimo: voice link cannot listen on port %u: %s",
                     unsigned(m.portaAscoltoVoice()), qUtf8Printable(WSKVoice.erroreAscolto()));
        Attesa::Pausa(0);
    }
    return WSKVoice.InAscolto();
}

void frmClient::chiudiWSKMaster()
{
    m.master().chiudi();
}

void frmClient::WSKMaster_Close()
{
    chiudiWSKMaster();
    m.ConnessoAlMaster = false;
    impostaDidascalia(tr("Connetti"));
    ui->cmdListaUtenti->setEnabled(false);
    ui->cmdListaStanze->setEnabled(false);
    ui->cmdNuovaStanza->setEnabled(false);
    ui->cmdConnettiti->setEnabled(true);
    mostraSubito(ui->lblStato, tr("La Connessione al Master è andata perduta"));
    mostraSubito(ui->lblStato, tr("Non connesso"));
}

void frmClient::WSKVoice_ConnectionRequest()
{
    while (WSKVoice.InAttesa()) {
        // Indices are never reused; past the last one nothing more can link.
        if (m.IndiceWskVoice == std::numeric_limits<qint16>::max()) {
            WSKVoice.Rifiuta();
            continue;
        }
        m.IndiceWskVoice += 1;
        WSKVoice.Accetta(m.IndiceWskVoice);
        ui->lbl->setText(tr("Connesso"));
    }
}

void frmClient::WSKVoice_Close(int Index)
{
    WSKVoice.Chiudi(Index);
    // An older voice client, replaced by the last start, may close only
    // after it: the newer one's id stays.
    if (Index > m.IndiceWskVoiceAvvio)
        m.IDProcessoVoice = 0;
    ui->lbl->setText(tr("Non connesso"));
}

void frmClient::WSKVoice_DataArrival(int Index, const QString& dati)
{
    Q_UNUSED(Index);
    Q_EMIT datiVoceArrivati(dati);
    GestisciDatiArrivatiVoice(dati);
}

void frmClient::GestisciDatiArrivatiVoice(const QString& DA)
{
    for (const Message& richiesta : decodeMessages(DA))
        m_richiesteVoce.append(richiesta);
    // A procedure waits on the one reply slot: requests arriving meanwhile
    // take their turn after it rather than inside it.
    if (m_inRichiestaVoce)
        return;
    m_inRichiestaVoce = true;
    const QPointer<frmClient> vivo(this);
    while (!m_richiesteVoce.isEmpty()) {
        const Message richiesta = m_richiesteVoce.takeFirst();
        if (richiesta.code == voicelink::CreatePrivateRoom)
            m.AvviaProcedurePerStanzaPrivata(richiesta.block);
        else if (richiesta.code == voicelink::AwaitRoomData)
            m.AvviaProcedureRicezioneDati();
        if (!vivo || m.programmaTerminato())
            return;
    }
    m_inRichiestaVoce = false;
}

void frmClient::cmdListaStanze_Click()
{
    m.ListaStanzeAperta = true;
    frmListaStanze* lista = m.FrmListaStanze();
    lista->show();
    lista->raise();
    lista->activateWindow();
}

void frmClient::cmdNuovaStanza_Click()
{
    frmNuovaStanza* nuova = m.FrmNuovaStanza();
    nuova->show();
    nuova->raise();
    nuova->activateWindow();
}

void frmClient::cmdGuida_Click()
{
    // A missing help file or viewer is not worth a message.
    m.apriTestoAiuto(QStringLiteral("miniguida.txt"));
}

void frmClient::cmdListaUtenti_Click()
{
    m.ListaUtentiAperta = true;
    frmListaUtenti* lista = m.FrmListaUtenti();
    lista->show();
    lista->raise();
    lista->activateWindow();
}

void frmClient::cmdOpzioni_Click()
{
    frmLogin* login = m.FrmLogin();
    login->show();
    login->raise();
    login->activateWindow();
}

void frmClient::cmdEsci_Click()
{
    // Closing the newest voice link ends a running voice client with us.
    // The master is not told.
    WSKVoice.Chiudi(m.IndiceWskVoice);
    m.FineProgramma();
}

} // namespace kalimo::lobby
