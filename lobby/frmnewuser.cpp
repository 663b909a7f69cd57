#include "lobby/frmnewuser.h"

#include "lobby/frmclient.h"
#include "lobby/module1.h"
#include "platform/desktop/attesa.h"
#include "platform/desktop/mostrasubito.h"
#include "protocol/codes.h"
#include "protocol/framing.h"
#include "ui_frmnewuser.h"

#include <QApplication>
#include <QCloseEvent>

namespace kalimo::lobby {

frmNewUser::frmNewUser(Module1& modulo, QWidget* parent)
    : QWidget(parent), m(modulo), ui(std::make_unique<Ui::frmNewUser>())
{
    ui->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);
    connect(ui->cmdInvia, &QPushButton::clicked, this, &frmNewUser::cmdInvia_Click);
    connect(ui->cmdEsci, &QPushButton::clicked, this, &frmNewUser::cmdEsci_Click);
    connect(ui->cmdSemplice, &QPushButton::clicked, this, &frmNewUser::cmdSemplice_Click);
}

// The registration connection goes with its window.
frmNewUser::~frmNewUser()
{
    m.registrazione().chiudi();
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
    const std::optional<EsitoRegistrazione> esito = registraSulPrimoMaster();
    m_inCorso = false;
    if (m_annullata) {
        close();
        return;
    }
    // No master answered: the last failure stays in the status line.
    if (!esito)
        return;
    mostraEsito(*esito);
    if (*esito != Eseguita && *esito != GiaRegistrato) {
        ui->cmdInvia->setEnabled(true);
        return;
    }
    attivaAccount();
}

std::optional<frmNewUser::EsitoRegistrazione> frmNewUser::registraSulPrimoMaster()
{
    for (int i = 1; i <= m.ListaMaster.UBound() && !m_annullata; ++i) {
        const MasterRecord record = m.ListaMaster[i];
        if (!ConnettiMaster(record))
            continue;
        mostraSubito(ui->lblStato, tr("Connesso al master: ") + record.Nome);
        return InviaRegistrazione(record);
    }
    return std::nullopt;
}

void frmNewUser::mostraEsito(EsitoRegistrazione esito)
{
    QString stato;
    switch (esito) {
    case Eseguita:
        mostraSubito(ui->lblStato, tr("Registrazione Eseguita"));
        m.dialoghi().messaggio(tr("Registrazione eseguita correttamente"), tr("Kalimo 2.0b"),
                               Icona::Informazione, Pulsanti::Ok);
        return;
    case NomeEsistente:
        stato = tr("Esiste già un utente con questo nome");
        break;
    case ServizioNonDisponibile:
        stato = tr("Servizio di autenticazione non disponibile. Ripetere l'operazione in un "
                   "secondo momento.");
        break;
    case DatiNonCorretti:
        stato = tr("Nome utente o password non corretti");
        break;
    case GiaRegistrato:
        stato = tr("La registrazione e' stata effettuata correttamente");
        break;
    case NessunaRisposta:
        return;
    }
    mostraSubito(ui->lblStato, stato);
    chiudiWSKNew();
}

void frmNewUser::attivaAccount()
{
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
    if (m.registrazione().connetti(
            record.Indirizzo, record.Porta, m.intervalli().rispostaMaster,
            [this] { return m_annullata; }, record.Tls))
        return true;
    const QString motivo = m.registrazione().motivoRifiuto();
    mostraSubito(ui->lblStato,
                 tr("Impossibile contattare il master: ") + record.Nome +
                     (motivo.isEmpty() ? QString() : QStringLiteral(" (") + motivo + u')'));
    return false;
}

frmNewUser::EsitoRegistrazione frmNewUser::InviaRegistrazione(const MasterRecord& record)
{
    mostraSubito(ui->lblStato, tr("Invio dei dati in corso..."));
    const QString nome = userName();
    const QString richiesta =
        masterRequest(master::request::Register, nome,
                      {nome, stripControlCharacters(record.Chiave), password(),
                       stripControlCharacters(ui->txtEmail->text()).trimmed(),
                       ui->optNU->isChecked() ? QStringLiteral("-1") : QStringLiteral("0")});
    const RispostaMaster r = m.registrazione().richiesta(richiesta, m.intervalli().rispostaMaster,
                                                         [this] { return m_annullata; });
    const struct
    {
        QStringView codice;
        EsitoRegistrazione esito;
    } esiti[] = {{master::registration::Created, Eseguita},
                 {master::registration::NameTaken, NomeEsistente},
                 {master::registration::Unavailable, ServizioNonDisponibile},
                 {master::registration::Refused, DatiNonCorretti},
                 {master::registration::AlreadyRegistered, GiaRegistrato}};
    for (const auto& e : esiti) {
        if (r.e(e.codice))
            return e.esito;
    }
    return NessunaRisposta;
}

bool frmNewUser::SalvaUtente()
{
    return m.SalvaUserIni(m.UtenteCorrente.NickName, m.UtenteCorrente.Password);
}

void frmNewUser::chiudiWSKNew()
{
    m.registrazione().chiudi();
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

} // namespace kalimo::lobby
