#include "lobby/frmnewuser.h"

#include "lobby/frmclient.h"
#include "lobby/module1.h"
#include "platform/desktop/attesa.h"
#include "protocol/framing.h"
#include "protocol/textcodec.h"
#include "ui_frmnewuser.h"

#include <QApplication>
#include <QCloseEvent>
#include <QSignalBlocker>

namespace kalimo {

frmNewUser::frmNewUser(Module1& modulo, QWidget* parent)
    : QWidget(parent), m(modulo), ui(std::make_unique<Ui::frmNewUser>())
{
    ui->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);
    connect(ui->cmdInvia, &QPushButton::clicked, this, &frmNewUser::cmdInvia_Click);
    connect(ui->cmdEsci, &QPushButton::clicked, this, &frmNewUser::cmdEsci_Click);
    connect(ui->cmdSemplice, &QPushButton::clicked, this, &frmNewUser::cmdSemplice_Click);
    connect(&tmrControllo, &QTimer::timeout, this, &frmNewUser::tmrControllo_Timer);
    connect(&WSKNew, &QTcpSocket::readyRead, this, &frmNewUser::WSKNew_DataArrival);
}

frmNewUser::~frmNewUser()
{
    WSKNew.disconnect(this);
}

QLabel* frmNewUser::lblStato() const
{
    return ui->lblStato;
}

bool frmNewUser::rifiuta(const QString& testo)
{
    mostraSubito(ui->lblStato, testo);
    QApplication::beep();
    return false;
}

QString frmNewUser::userName() const
{
    return stripControlCharacters(ui->txtUserName->text()).trimmed().toLower();
}

QString frmNewUser::password() const
{
    return stripControlCharacters(ui->txtPassword->text()).trimmed();
}

bool frmNewUser::ControllaDati()
{
    mostraSubito(ui->lblStato, QString());
    const QString password = ui->txtPassword->text().trimmed();
    if (ui->txtUserName->text().trimmed().size() < 3)
        return rifiuta(tr("Indicare una username di almeno 3 caratteri"));
    if (password.size() < 3)
        return rifiuta(tr("Indicare una password di almeno 3 caratteri"));
    if (password != ui->txtPassword2->text().trimmed())
        return rifiuta(tr("Le password inserite non coincidono"));
    if (ui->txtEmail->text().trimmed().size() < 10)
        return rifiuta(tr("Inserire una email"));
    return true;
}

void frmNewUser::cmdInvia_Click()
{
    if (m_inCorso || !ControllaDati())
        return;
    ui->cmdInvia->setEnabled(false);
    if (m.ListaMaster.vuota()) {
        // Nothing to try: say so rather than leave an empty status line.
        mostraSubito(ui->lblStato, tr("Servizio non disponibile; Nessuno dei server ha risposto "
                                      "alla connessione."));
        return;
    }

    m_inCorso = true;
    m_annullata = false;
    bool collegato = false;
    EsitoRegistrazione esito = NessunaRisposta;
    for (int i = 1; i <= m.ListaMaster.UBound() && !m_annullata; ++i) {
        const MasterRecord record = m.ListaMaster[i];
        if (!ConnettiMaster(record))
            continue;
        collegato = true;
        mostraSubito(ui->lblStato, tr("Connesso al master: ") + record.Nome);
        esito = InviaRegistrazione(record);
        break;
    }
    m_inCorso = false;
    if (m_annullata) {
        close();
        return;
    }
    if (!collegato)
        return; // the last failure stays in the status line

    switch (esito) {
    case Eseguita:
        mostraSubito(ui->lblStato, tr("Registrazione Eseguita"));
        m.dialoghi().messaggio(tr("Registrazione eseguita correttamente"), tr("Kalimo 2.0b"),
                               Icona::Informazione, Pulsanti::Ok);
        break;
    case NomeEsistente:
        mostraSubito(ui->lblStato, tr("Esiste già un utente con questo nome"));
        chiudiWSKNew();
        break;
    case ServizioNonDisponibile:
        mostraSubito(ui->lblStato, tr("Servizio di autenticazione non disponibile. Ripetere "
                                      "l'operazione in un secondo momento."));
        chiudiWSKNew();
        break;
    case DatiNonCorretti:
        mostraSubito(ui->lblStato, tr("Nome utente o password non corretti"));
        chiudiWSKNew();
        break;
    case GiaRegistrato:
        mostraSubito(ui->lblStato, tr("La registrazione e' stata effettuata correttamente"));
        chiudiWSKNew();
        break;
    case NessunaRisposta:
        break;
    }

    if (esito != Eseguita && esito != GiaRegistrato) {
        ui->cmdInvia->setEnabled(true);
        return;
    }
    m.UtenteCorrente.NickName = userName();
    m.UtenteCorrente.Password = password();
    if (!SalvaUtente()) {
        // The account exists on the master; this session goes on with it.
        m.dialoghi().messaggio(tr("Impossibile salvare le impostazioni nel file User.ini"),
                               tr("Kalimo 2.0b"), Icona::Critica, Pulsanti::Ok);
    }
    // Start-up skipped the contact list without an account; a list already
    // in the folder must not be rewritten from nothing later.
    if (m.ContactList.vuota())
        m.CaricaContactList();
    m.FrmClient()->show();
    close();
}

bool frmNewUser::ConnettiMaster(const MasterRecord& record)
{
    mostraSubito(ui->lblStato, tr("In Connessione al master: ") + record.Nome);
    chiudiWSKNew();
    WSKNew.connectToHost(record.Indirizzo, record.Porta);
    TimeOutRegistrazione = false;
    tmrControllo.start(m.intervalli().rispostaMaster);
    Attesa::finche({
        [this] { return WSKNew.state() == QAbstractSocket::ConnectedState; },
        [this] { return TimeOutRegistrazione || m_annullata; },
        // Refused or unreachable: no use waiting for the time-out.
        [this] { return WSKNew.state() == QAbstractSocket::UnconnectedState; },
    });
    tmrControllo.stop();
    if (WSKNew.state() == QAbstractSocket::ConnectedState && !m_annullata)
        return true;
    chiudiWSKNew();
    mostraSubito(ui->lblStato, tr("Impossibile contattare il master: ") + record.Nome);
    return false;
}

frmNewUser::EsitoRegistrazione frmNewUser::InviaRegistrazione(const MasterRecord& record)
{
    mostraSubito(ui->lblStato, tr("Invio dei dati in corso..."));
    tmrControllo.start(m.intervalli().rispostaMaster);
    m.CodiceRisposta.clear();
    const QString nome = userName();
    const QString richiesta =
        masterRequest(u"0010", nome,
                      {nome, stripControlCharacters(record.Chiave), password(),
                       stripControlCharacters(ui->txtEmail->text()).trimmed(),
                       ui->optNU->isChecked() ? QStringLiteral("-1") : QStringLiteral("0")});
    WSKNew.write(encodeText(richiesta));
    const int fine = Attesa::finche({
        [this] { return !m.CodiceRisposta.isEmpty(); },
        [this] { return TimeOutRegistrazione || m_annullata; },
        // Closed by the master: no reply can come any more.
        [this] { return WSKNew.state() != QAbstractSocket::ConnectedState; },
    });
    tmrControllo.stop();
    if (fine != 0)
        return NessunaRisposta;
    const QString& codice = m.CodiceRisposta;
    if (codice == u"00001")
        return Eseguita;
    if (codice == u"00002")
        return NomeEsistente;
    if (codice == u"00003")
        return ServizioNonDisponibile;
    if (codice == u"00004")
        return DatiNonCorretti;
    if (codice == u"00005")
        return GiaRegistrato;
    return NessunaRisposta;
}

bool frmNewUser::SalvaUtente()
{
    return m.SalvaUserIni(m.UtenteCorrente.NickName, m.UtenteCorrente.Password);
}

void frmNewUser::chiudiWSKNew()
{
    const QSignalBlocker blocco(WSKNew);
    WSKNew.abort();
    m_ricomposizione.clear();
}

void frmNewUser::WSKNew_DataArrival()
{
    if (!m.LeggiDalMaster(WSKNew, m_ricomposizione))
        chiudiWSKNew();
}

void frmNewUser::tmrControllo_Timer()
{
    TimeOutRegistrazione = true;
}

void frmNewUser::closeEvent(QCloseEvent* evento)
{
    if (m_inCorso) {
        m_annullata = true;
        hide();
        evento->ignore();
        return;
    }
    QWidget::closeEvent(evento);
}

void frmNewUser::cmdEsci_Click()
{
    close();
}

void frmNewUser::cmdSemplice_Click()
{
    m.apriTestoAiuto(QStringLiteral("inforegistrazione.txt"));
}

} // namespace kalimo
