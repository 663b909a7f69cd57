#pragma once

#include <QAbstractButton>
#include <QCoreApplication>
#include <QGroupBox>
#include <QLabel>
#include <QStringList>
#include <QTest>
#include <QWidget>

namespace kalimo::test {

// The texts of `finestra`, shown, that do not show whole: a button, label or
// frame narrower or lower than its text needs.
inline QStringList testiTagliati(QWidget* finestra)
{
    finestra->show();
    (void)QTest::qWaitForWindowExposed(finestra);
    QCoreApplication::processEvents();
    QStringList tagliati;
    const auto controlla = [&](QWidget* w, const QString& testo) {
        if (!w->isVisible() || testo.isEmpty())
            return;
        const QSize serve = w->minimumSizeHint().expandedTo(w->sizeHint());
        if (w->width() < serve.width() || w->height() < serve.height())
            tagliati << QStringLiteral("%1 \"%2\" %3x%4 < %5x%6")
                            .arg(w->objectName(), testo)
                            .arg(w->width())
                            .arg(w->height())
                            .arg(serve.width())
                            .arg(serve.height());
    };
    for (QAbstractButton* b : finestra->findChildren<QAbstractButton*>())
        controlla(b, b->text());
    for (QLabel* l : finestra->findChildren<QLabel*>()) {
        // A wrapping label shows its whole text over more lines: only its height counts.
        if (!l->wordWrap())
            controlla(l, l->text());
        else if (l->isVisible() && l->heightForWidth(l->width()) > l->height())
            tagliati << QStringLiteral("%1 \"%2\" too low").arg(l->objectName(), l->text());
    }
    for (QGroupBox* g : finestra->findChildren<QGroupBox*>()) {
        const int serve = g->fontMetrics().horizontalAdvance(g->title()) + 16;
        if (g->isVisible() && g->width() < serve)
            tagliati << QStringLiteral("%1 \"%2\"").arg(g->objectName(), g->title());
    }
    return tagliati;
}

} // namespace kalimo::test
