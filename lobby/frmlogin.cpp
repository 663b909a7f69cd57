#include "lobby/frmlogin.h"

#include "lobby/module1.h"
#include "ui_frmlogin.h"

namespace kalimo::lobby {

frmLogin::frmLogin(Module1& modulo, QWidget* parent)
    : QWidget(parent), m(modulo), ui(std::make_unique<Ui::frmLogin>())
{
    ui->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);
    connect(ui->cmdSalva, &QPushButton::clicked, this, &frmLogin::cmdSalva_Click);
    connect(ui->cmdAnnulla, &QPushButton::clicked, this, &frmLogin::cmdAnnulla_Click);
    CaricaDati();
}

frmLogin::~frmLogin() = default;

void frmLogin::CaricaDati()
{
    ui->txtUserName->setText(m.UtenteCorrente.NickName);
    ui->txtPassword->setText(m.UtenteCorrente.Password);
}

bool frmLogin::ControllaDati()
{
    // Only the length counts; the user name is checked first.
    if (ui->txtUserName->text().trimmed().size() < 3) {
        m.dialoghi().messaggio(tr("Inserire una UserName di almeno 3 caratteri alfanumerici"),
                               tr("Informazione"), Icona::Critica, Pulsanti::Ok);
        return false;
    }
    if (ui->txtPassword->text().trimmed().size() < 3) {
        m.dialoghi().messaggio(tr("Inserire una Password di almeno 3 caratteri alfanumerici"),
                               tr("Informazione"), Icona::Critica, Pulsanti::Ok);
        return false;
    }
    return true;
}

void frmLogin::cmdSalva_Click()
{
    if (m.dialoghi().messaggio(tr("Salvare le impostazioni correnti?"), tr("Salvataggio"),
                               Icona::Informazione, Pulsanti::SiNo) != Risposta::Si)
        return;
    if (!ControllaDati())
        return;
    const QString userName = ui->txtUserName->text();
    const QString password = ui->txtPassword->text();
    if (!m.SalvaUserIni(userName, password)) {
        // The old account file is intact; keep the window so nothing typed is lost.
        m.dialoghi().messaggio(tr("Impossibile salvare le impostazioni nel file User.ini"),
                               tr("Kalimo 2.0b"), Icona::Critica, Pulsanti::Ok);
        return;
    }
    m.UtenteCorrente.NickName = userName.trimmed().toLower();
    m.UtenteCorrente.Password = password.trimmed();
    close();
}

void frmLogin::cmdAnnulla_Click()
{
    close();
}

} // namespace kalimo::lobby
