#include "platform/desktop/attesa.h"
#include "platform/desktop/dialoghiqt.h"
#include "platform/desktop/grigliatabella.h"
#include "platform/desktop/programmi.h"
#include "tests/support/cartelle.h"

#include <QtTest>
#include <QtWidgets>

#include <csignal>

using namespace kalimo;

namespace {

const QImage kImmagine(reinterpret_cast<const uchar*>("\xff\x00\x00\xff"), 1, 1,
                       QImage::Format_ARGB32);

// A header row "Nome", "Utenti" over three columns, then a row per name.
void riempi(GrigliaTabella& g, const QStringList& nomi)
{
    g.impostaColonne(3);
    g.impostaRighe(1);
    g.impostaTesto(0, 1, "Nome");
    g.impostaTesto(0, 2, "Utenti");
    for (const QString& nome : nomi)
        g.aggiungiRiga(" \t" + nome);
}

// Column `c` of every row but the header, ',' between them.
QString colonna(const Griglia& g, int c)
{
    QStringList out;
    for (int r = 1; r < g.righe(); ++r)
        out << g.testo(r, c);
    return out.join(u',');
}

} // namespace

class TestDesktop : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void cleanup() { Attesa::riprendi(); }

    void griglia()
    {
        QTableWidget tabella;
        GrigliaTabella g(&tabella);
        QCOMPARE(g.rigaCorrente(), 0); // an empty grid
        riempi(g, {"mario\tConnesso", "luigi\tNon Connesso\tin più", "c", "d"});
        // Nothing chosen: the first row under the header.
        QCOMPARE(QPoint(g.rigaCorrente(), g.rigaFineSelezione()), QPoint(1, 1));
        QCOMPARE(QString("%1x%2 %3").arg(g.righe()).arg(tabella.columnCount()).arg(colonna(g, 2)),
                 "5x3 Connesso,Non Connesso,,");
        QCOMPARE(tabella.item(0, 2)->text() + g.testo(9, 9), "Utenti");

        g.impostaImmagine(2, 0, kImmagine);
        QVERIFY(g.haImmagine(2, 0) && !tabella.item(2, 0)->icon().isNull() && !g.haImmagine(1, 0));
        QCOMPARE(QPoint(g.rigaCorrente(), g.colonnaCorrente()), QPoint(2, 0));
        g.impostaImmagine(2, 0, QImage());
        g.impostaImmagine(7, 0, kImmagine); // outside: ignored
        QVERIFY(!g.haImmagine(2, 0) && g.righe() == 5);
        g.impostaDatoRiga(1, 17);
        QCOMPARE((QList<int>{g.datoRiga(1), g.datoRiga(2), g.datoRiga(99)}),
                 (QList<int>{17, -1, -1}));

        g.impostaCellaCorrente(2, 1);
        QCOMPARE(QPoint(g.rigaCorrente(), g.rigaFineSelezione()), QPoint(2, 2));
        tabella.setRangeSelected(QTableWidgetSelectionRange(2, 1, 4, 1), true);
        QCOMPARE(g.rigaFineSelezione(), 4);
        // A selection that ends above the current row.
        g.impostaCellaCorrente(4, 1);
        tabella.setRangeSelected(QTableWidgetSelectionRange(1, 1, 4, 1), true);
        QCOMPARE(g.rigaFineSelezione(), 1);
        g.impostaCellaCorrente(40, 1); // outside: ignored
        QCOMPARE(g.rigaCorrente(), 4);
        // A cell shows whole: its column widens.
        g.aggiungiRiga("\tPiazza del Popolo, la stanza più lunga della lista");
        QVERIFY(tabella.columnWidth(1) >=
                static_cast<QAbstractItemView&>(tabella).sizeHintForColumn(1));
    }

    void grigliaOrdinaEPulisci()
    {
        // Each row keeps its own data, its other cells and its picture; case does not count.
        auto* tabella = new QTableWidget;
        GrigliaTabella g(tabella);
        riempi(g, {"Charlie\t10", "alfa\t20", "bravo\t30"});
        for (int r = 1; r <= 3; ++r)
            g.impostaDatoRiga(r, r);
        g.impostaImmagine(1, 0, kImmagine); // row "Charlie"
        g.ordina(1, 3, 1, true);
        QCOMPARE(colonna(g, 1) + ' ' + colonna(g, 2), "alfa,bravo,Charlie 20,30,10");
        QCOMPARE((QList<int>{g.datoRiga(1), g.datoRiga(3)}), (QList<int>{2, 1}));
        QVERIFY(g.haImmagine(3, 0) && !g.haImmagine(1, 0));
        QCOMPARE(g.testo(0, 1), "Nome"); // the header stays
        // Only the range moves, downwards; nonsense ranges and columns are ignored.
        g.ordina(2, 3, 1, false);
        g.ordina(3, 1, 1, true);
        g.ordina(1, 3, 9, true);
        QCOMPARE(colonna(g, 1) + QString::number(g.datoRiga(2)), "alfa,Charlie,bravo1");
        riempi(g, {"10", "9", "100"});
        g.ordina(1, 3, 1, true);
        QCOMPARE(colonna(g, 1), "9,10,100");
        g.impostaImmagine(1, 0, kImmagine);
        g.pulisci();
        QCOMPARE(
            QString("%1x%2 %3").arg(g.righe()).arg(g.colonne()).arg(g.testo(0, 1) + colonna(g, 1)),
            "4x3 ,,");
        QVERIFY(!g.haImmagine(1, 0) && g.valida());
        delete tabella;
        QVERIFY(!g.valida());
        // A grid whose widget is gone answers harmlessly.
        g.impostaTesto(1, 1, "x");
        g.aggiungiRiga("a\tb");
        g.ordina(1, 2, 1, true);
        g.pulisci();
        QCOMPARE(int(g.righe() + g.rigaFineSelezione() + g.testo(1, 1).size()), 0);
    }

    void attesa()
    {
        bool risposta = false, scaduto = false, annullato = false;
        const auto tre = [&] {
            return Attesa::finche(
                {[&] { return risposta; }, [&] { return scaduto; }, [&] { return annullato; }});
        };
        QTimer::singleShot(5, [&] { scaduto = true; });
        QCOMPARE(tre(), 1);
        // A condition that already holds ends the wait at once; the first in order wins.
        annullato = true;
        QCOMPARE(tre(), 1);
        QTimer::singleShot(5, [] { Attesa::interrompiTutto(); });
        QCOMPARE(Attesa::finche({[] { return false; }}), Attesa::kInterrotta);
        QVERIFY(Attesa::interrotta() && !Attesa::finche([] { return true; }));
        Attesa::riprendi();
        QVERIFY(Attesa::finche([] { return true; }));

        // A pause lets events run: it outlasts the timer's first tick.
        int scatti = 0;
        QTimer timer;
        connect(&timer, &QTimer::timeout, [&scatti] { ++scatti; });
        timer.start(1);
        Attesa::Pausa(30);
        QVERIFY(scatti > 0);
        bool eseguito = false;
        QTimer::singleShot(0, [&eseguito] { eseguito = true; });
        Attesa::Pausa(0);
        QVERIFY(eseguito);
    }

    void dialoghiQt()
    {
        DialoghiQt dialoghi;
        QString visto;
        // Asks, then presses `pulsante` on the box, or closes it by its frame with NoButton.
        const auto chiedi = [&](QMessageBox::StandardButton pulsante, Icona icona, Pulsanti p) {
            QTimer::singleShot(0, [&, pulsante] {
                auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
                QVERIFY(box);
                visto = box->windowTitle() + ':' + box->text();
                pulsante == QMessageBox::NoButton ? (void)box->close()
                                                  : box->button(pulsante)->click();
            });
            return dialoghi.messaggio("Salvare?", "Salvataggio", icona, p);
        };
        QCOMPARE(chiedi(QMessageBox::Yes, Icona::Informazione, Pulsanti::SiNo), Risposta::Si);
        QCOMPARE(visto, "Salvataggio:Salvare?");
        QCOMPARE(chiedi(QMessageBox::No, Icona::Domanda, Pulsanti::SiNo), Risposta::No);
        QCOMPARE(chiedi(QMessageBox::Ok, Icona::Critica, Pulsanti::Ok), Risposta::Ok);
        // Closed by its frame: the answer that changes nothing.
        QCOMPARE(chiedi(QMessageBox::NoButton, Icona::Avviso, Pulsanti::SiNo), Risposta::No);

        QTimer::singleShot(0, [] {
            auto* box = qobject_cast<QInputDialog*>(QApplication::activeModalWidget());
            QVERIFY(box);
            box->setTextValue("scritto");
            box->accept();
        });
        QCOMPARE(dialoghi.input("Titolo", "Nome?"), "scritto");
        QTimer::singleShot(
            0, [] { qobject_cast<QDialog*>(QApplication::activeModalWidget())->reject(); });
        QCOMPARE(dialoghi.input("Titolo", "Nome?", "predefinito"), QString());
    }

    void avvioProgrammi()
    {
        test::CartellaTemporanea cartella;
        // A stand-in program that writes its argument and waits to be closed.
        QVERIFY(cartella.scrivi(
            "aiutante", "#!/bin/sh\nprintf '%s' \"$1\" > \"$(dirname \"$0\")/argomento.tmp\"\n"
                        "mv \"$(dirname \"$0\")/argomento.tmp\" \"$(dirname \"$0\")/argomento\"\n"
                        "exec sleep 120\n"));
        QVERIFY(QFile::setPermissions(cartella.file("aiutante"),
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        AvvioProgrammiQt avvio(cartella.percorso());
        QCOMPARE(avvio.avvia("manca", "x"), 0);
        QVERIFY(!ApriFileQt().apri(cartella.file("manca.txt")));
        const QString argomenti = "127.0.0.1 + 10 + 2 + Stanza di prova + pw";
        const qint64 pid = avvio.avvia("aiutante", argomenti);
        QVERIFY(pid > 0);
        const auto vivo = [pid] { return ::kill(static_cast<pid_t>(pid), 0) == 0; };
        // However this test ends, the stand-in does not outlive it.
        const auto fine = qScopeGuard([&] {
            if (vivo())
                ::kill(static_cast<pid_t>(pid), SIGKILL);
        });
        // The whole text arrives as one argument.
        QTRY_VERIFY_WITH_TIMEOUT(cartella.esiste("argomento"), 20000);
        QCOMPARE(QString::fromUtf8(cartella.leggi("argomento")), argomenti);
        QVERIFY(!avvio.chiediChiusura(0) &&
                !avvio.chiediChiusura(QCoreApplication::applicationPid()));
        // A process this starter did not start, as one that reused the number would be.
        QProcess estraneo;
        estraneo.start("sleep", {"120"});
        QVERIFY(estraneo.waitForStarted());
        QVERIFY(!avvio.chiediChiusura(estraneo.processId()));
        QVERIFY(::kill(static_cast<pid_t>(estraneo.processId()), 0) == 0);
        estraneo.kill();
        estraneo.waitForFinished();
        QVERIFY(avvio.chiediChiusura(pid));
        QTRY_VERIFY_WITH_TIMEOUT(!vivo(), 20000);
        // Gone: asking again signals nothing.
        QVERIFY(!avvio.chiediChiusura(pid));
    }
};

QTEST_MAIN(TestDesktop)
#include "tst_desktop.moc"
