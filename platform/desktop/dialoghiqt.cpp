#include "platform/desktop/dialoghiqt.h"

#include <QApplication>
#include <QInputDialog>
#include <QMessageBox>

namespace kalimo {

namespace {

QMessageBox::Icon iconaQt(Icona icona)
{
    switch (icona) {
    case Icona::Informazione:
        return QMessageBox::Information;
    case Icona::Critica:
        return QMessageBox::Critical;
    case Icona::Avviso:
        return QMessageBox::Warning;
    case Icona::Domanda:
        return QMessageBox::Question;
    case Icona::Nessuna:
        break;
    }
    return QMessageBox::NoIcon;
}

QMessageBox::StandardButtons pulsantiQt(Pulsanti pulsanti)
{
    switch (pulsanti) {
    case Pulsanti::OkAnnulla:
        return QMessageBox::Ok | QMessageBox::Cancel;
    case Pulsanti::SiNo:
        return QMessageBox::Yes | QMessageBox::No;
    case Pulsanti::SiNoAnnulla:
        return QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel;
    case Pulsanti::Ok:
        break;
    }
    return QMessageBox::Ok;
}

} // namespace

Risposta DialoghiQt::messaggio(const QString& testo, const QString& titolo, Icona icona,
                               Pulsanti pulsanti)
{
    QMessageBox box(iconaQt(icona), titolo, testo, pulsantiQt(pulsanti),
                    QApplication::activeWindow());
    switch (box.exec()) {
    case QMessageBox::Ok:
        return Risposta::Ok;
    case QMessageBox::Yes:
        return Risposta::Si;
    case QMessageBox::No:
        return Risposta::No;
    case QMessageBox::Cancel:
        return Risposta::Annulla;
    default:
        break;
    }
    // A box closed without a button (frame button): the answer that changes nothing.
    if (pulsanti == Pulsanti::SiNo)
        return Risposta::No;
    return pulsanti == Pulsanti::Ok ? Risposta::Ok : Risposta::Annulla;
}

QString DialoghiQt::input(const QString& titolo, const QString& richiesta,
                          const QString& predefinito)
{
    bool ok = false;
    const QString testo = QInputDialog::getText(QApplication::activeWindow(), titolo, richiesta,
                                                QLineEdit::Normal, predefinito, &ok);
    return ok ? testo : QString();
}

} // namespace kalimo
