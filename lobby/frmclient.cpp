#include "lobby/frmclient.h"

#include "lobby/frmlogin.h"
#include "lobby/module1.h"
#include "platform/desktop/attesa.h"
#include "ui_frmclient.h"

namespace kalimo {

frmClient::frmClient(Module1& modulo, QWidget* parent)
    : QWidget(parent), m(modulo), ui(std::make_unique<Ui::frmClient>())
{
    ui->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);

    connect(ui->cmdConnettiti, &QPushButton::clicked, this, &frmClient::cmdConnettiti_Click);
    connect(ui->cmdGuida, &QPushButton::clicked, this, &frmClient::cmdGuida_Click);
    connect(ui->cmdOpzioni, &QPushButton::clicked, this, &frmClient::cmdOpzioni_Click);
    connect(ui->cmdEsci, &QPushButton::clicked, this, &frmClient::cmdEsci_Click);
    // cmdListaStanze, cmdListaUtenti and cmdNuovaStanza open the room list,
    // the contact list and room creation; those windows are not built yet.
    connect(&tmrControllo, &QTimer::timeout, this, &frmClient::tmrControllo_Timer);

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
    ui->cmdConnettiti->setText(tr("Connetti"));
    ui->cmdConnettiti->setEnabled(true);
    ui->cmdListaStanze->setEnabled(false);
    ui->cmdListaUtenti->setEnabled(false);
    ui->cmdNuovaStanza->setEnabled(false);
    mostraSubito(ui->lblStato, tr("Non Connesso.") + u'\n' +
                                   tr("Clicca su 'Connetti' per entrare nel servizio."));
}

void frmClient::cmdConnettiti_Click()
{
    // Logging in to a master comes with the master connection; until then say so plainly.
    mostraSubito(ui->lblStato,
                 tr("La connessione al master non è ancora disponibile in questa versione."));
}

void frmClient::cmdGuida_Click()
{
    // A missing help file or viewer is not worth a message.
    m.apriTestoAiuto(QStringLiteral("miniguida.txt"));
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
    // The newest voice link is closed here once the voice link exists, so a
    // running voice client ends with us. The master is not told.
    m.FineProgramma();
}

void frmClient::tmrControllo_Timer()
{
    m.TimeOutMaster = true;
}

} // namespace kalimo
