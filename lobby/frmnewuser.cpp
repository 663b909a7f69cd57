#include "lobby/frmnewuser.h"

#include "lobby/module1.h"
#include "platform/desktop/attesa.h"
#include "ui_frmnewuser.h"

#include <QApplication>

namespace kalimo {

frmNewUser::frmNewUser(Module1& modulo, QWidget* parent)
    : QWidget(parent), m(modulo), ui(std::make_unique<Ui::frmNewUser>())
{
    ui->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);
    connect(ui->cmdInvia, &QPushButton::clicked, this, &frmNewUser::cmdInvia_Click);
    connect(ui->cmdEsci, &QPushButton::clicked, this, &frmNewUser::cmdEsci_Click);
    connect(ui->cmdSemplice, &QPushButton::clicked, this, &frmNewUser::cmdSemplice_Click);
    // The registration socket WSKNew and its timer tmrControllo join here
    // with the registration exchange.
}

frmNewUser::~frmNewUser() = default;

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
    if (!ControllaDati())
        return;
    // Sending the registration to a master comes with the registration
    // exchange; until then the window says so instead of pretending.
    mostraSubito(ui->lblStato,
                 tr("La registrazione non è ancora disponibile in questa versione del programma."));
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
