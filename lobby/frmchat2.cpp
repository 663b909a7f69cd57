#include "lobby/frmchat2.h"

#include "lobby/module1.h"
#include "ui_frmchat2.h"

#include <QPointer>

namespace kalimo::lobby {

frmChat2::frmChat2(Module1& modulo, QWidget* parent)
    : QWidget(parent), m(modulo), ui(std::make_unique<Ui::frmChat2>())
{
    ui->setupUi(this);
    TimerContatta.setSingleShot(true);
    TimerContatta.setInterval(m.intervalli().riarmoInvita);

    connect(ui->cmdInvia, &QPushButton::clicked, this, &frmChat2::cmdInvia_Click);
    connect(ui->txtTesto, &QLineEdit::returnPressed, this, &frmChat2::txtTesto_Enter);
    connect(ui->CmdInvita, &QPushButton::clicked, this, &frmChat2::CmdInvita_Click);
    connect(&TimerContatta, &QTimer::timeout, this, &frmChat2::TimerContatta_Timer);
    connect(ui->cmdNascondi, &QPushButton::clicked, this, &frmChat2::cmdNascondi_Click);
    connect(ui->cmdIgnora, &QPushButton::clicked, this, &frmChat2::cmdIgnora_Click);
    connect(ui->cmdChiudi, &QPushButton::clicked, this, &frmChat2::cmdChiudi_Click);
    connect(ui->txtChat, &QPlainTextEdit::textChanged, this, &frmChat2::txtChat_Change);
}

frmChat2::~frmChat2() = default;

void frmChat2::SetTarget(const QString& Tar)
{
    m_target = Tar;
    setWindowTitle(tr("Chat Privata con ") + m_target);
}

void frmChat2::AggiungiRiga(const QString& riga)
{
    ui->txtChat->appendPlainText(riga);
}

QString frmChat2::Trascrizione() const
{
    return ui->txtChat->toPlainText();
}

void frmChat2::invia()
{
    QString testo = ui->txtTesto->text().trimmed();
    if (testo.isEmpty())
        return;
    // The window may be unloaded by what arrives while the text goes out.
    const QPointer<frmChat2> io = this;
    const bool inviato = m.InviaMessaggioInvito(m_target, testo, false, false, false);
    if (!io)
        return;
    if (!inviato)
        return nonInviato();
    ui->txtTesto->clear();
    ui->txtTesto->setFocus();
}

void frmChat2::nonInviato()
{
    // The typed line stays in the field, so nothing the user wrote is lost.
    AggiungiRiga(tr("<System Message> Messaggio non inviato: non si è connessi al master"));
}

void frmChat2::cmdInvia_Click()
{
    invia();
}

void frmChat2::txtTesto_Enter()
{
    invia();
}

void frmChat2::CmdInvita_Click()
{
    ui->CmdInvita->setEnabled(false);
    TimerContatta.start();
    QString testo = ui->txtTesto->text().trimmed();
    const QPointer<frmChat2> io = this;
    const bool inviato = m.InviaMessaggioInvito(m_target, testo, true, false, false);
    if (!io)
        return;
    if (!inviato)
        return nonInviato();
    AggiungiRiga(tr("<System Message> La richiesta di invito è stata inoltrata.... "));
}

void frmChat2::TimerContatta_Timer()
{
    TimerContatta.stop();
    ui->CmdInvita->setEnabled(true);
}

void frmChat2::cmdNascondi_Click()
{
    hide();
}

void frmChat2::cmdIgnora_Click()
{
    UtenteIgnorato = true;
    hide();
}

void frmChat2::cmdChiudi_Click()
{
    ui->txtChat->clear();
    hide();
}

void frmChat2::txtChat_Change()
{
    ui->txtChat->moveCursor(QTextCursor::End);
    ui->txtChat->ensureCursorVisible();
}

} // namespace kalimo::lobby
