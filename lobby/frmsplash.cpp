#include "lobby/frmsplash.h"

#include "lobby/module1.h"
#include "ui_frmsplash.h"

#include <QEvent>
#include <QIcon>

namespace kalimo::lobby {

frmSplash::frmSplash(Module1& modulo, QWidget* parent)
    : QDialog(parent), ui(std::make_unique<Ui::frmSplash>())
{
    ui->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowFlag(Qt::FramelessWindowHint);
    ui->imgLogo->setPixmap(QIcon(QStringLiteral(":/kalimo/logo.svg")).pixmap(128, 128));

    Timer.setSingleShot(true);
    Timer.setInterval(modulo.intervalli().splash);
    connect(&Timer, &QTimer::timeout, this, &frmSplash::chiudi);
    connect(ui->cmdEntra, &QPushButton::clicked, this, &frmSplash::chiudi);

    // Any key anywhere in the window closes it, whichever child has the focus.
    installEventFilter(this);
    const QList<QWidget*> figli = findChildren<QWidget*>();
    for (QWidget* figlio : figli)
        figlio->installEventFilter(this);
}

frmSplash::~frmSplash() = default;

void frmSplash::showEvent(QShowEvent* evento)
{
    QDialog::showEvent(evento);
    if (!Timer.isActive())
        Timer.start();
}

bool frmSplash::eventFilter(QObject* oggetto, QEvent* evento)
{
    if (evento->type() == QEvent::KeyPress ||
        (evento->type() == QEvent::MouseButtonPress && oggetto == ui->Frame1)) {
        chiudi();
        return true;
    }
    return QDialog::eventFilter(oggetto, evento);
}

void frmSplash::chiudi()
{
    Timer.stop();
    // done() ends exec() as well as a modeless show.
    done(QDialog::Accepted);
}

} // namespace kalimo::lobby
