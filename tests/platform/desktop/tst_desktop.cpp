#include "platform/desktop/attesa.h"
#include "platform/desktop/dialoghiqt.h"
#include "platform/desktop/grigliatabella.h"
#include "platform/desktop/programmi.h"
#include "tests/support/cartelle.h"

#include <QApplication>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScopeGuard>
#include <QTableWidget>
#include <QTest>
#include <QTimer>

#include <csignal>

using namespace kalimo;

namespace {

QImage immagineProva()
{
    QImage img(16, 16, QImage::Format_ARGB32);
    img.fill(Qt::red);
    return img;
}

// A grid of a header row and `righe` data rows over three columns.
void riempi(GrigliaTabella& g, const QStringList& nomi)
{
    g.impostaColonne(3);
    g.impostaRighe(1);
    g.impostaTesto(0, 1, "Nome");
    g.impostaTesto(0, 2, "Utenti");
    for (const QString& nome : nomi)
        g.aggiungiRiga(QString(" \t") + nome);
}

} // namespace

class TestDesktop : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init() { Attesa::riprendi(); }
    void cleanup() { Attesa::riprendi(); }

    void grigliaIntestazioniELarghezze()
    {
        QTableWidget tabella;
        GrigliaTabella g(&tabella);
        g.impostaColonne(3);
        g.impostaRighe(1);
        g.impostaTesto(0, 1, "Utente");
        g.impostaTesto(0, 2, "Stato");
        g.impostaLarghezzaColonna(0, 1);
        g.impostaLarghezzaColonna(1, 2000);
        g.impostaLarghezzaColonna(2, 1150);
        g.aggiungiRiga(" \tmario\tConnesso");
        g.aggiungiRiga(" \tluigi\tNon Connesso\tin più");

        QVERIFY(tabella.horizontalHeader()->isHidden());
        QVERIFY(tabella.verticalHeader()->isHidden());
        QCOMPARE(g.righe(), 3);
        QCOMPARE(tabella.rowCount(), 3);
        QCOMPARE(g.colonne(), 3);
        QCOMPARE(
            (QStringList{g.testo(0, 1), tabella.item(0, 2)->text(), g.testo(1, 1), g.testo(2, 2)}),
            (QStringList{"Utente", "Stato", "mario", "Non Connesso"}));
        QCOMPARE(g.testo(9, 9), QString());

        // 15 twips to a pixel; the twips asked for are what the grid reports.
        QCOMPARE((QList<int>{tabella.columnWidth(0), tabella.columnWidth(1), tabella.columnWidth(2),
                             g.larghezzaColonna(1), g.larghezzaColonna(2)}),
                 (QList<int>{0, 133, 76, 2000, 1150}));

        // Header row and column 0 look fixed and cannot be selected; data cells can.
        QVERIFY(!(tabella.item(0, 1)->flags() & Qt::ItemIsSelectable));
        QVERIFY(!(tabella.item(2, 0)->flags() & Qt::ItemIsSelectable));
        QVERIFY(tabella.item(1, 1)->flags() & Qt::ItemIsSelectable);
        QCOMPARE(tabella.item(0, 1)->background().color(), tabella.palette().button().color());

        QVERIFY(!(tabella.item(0, 1)->textAlignment() & Qt::AlignLeft));
        g.impostaAllineamentoSinistra(1);
        QVERIFY(tabella.item(0, 1)->textAlignment() & Qt::AlignLeft);
        QVERIFY(tabella.item(1, 1)->textAlignment() & Qt::AlignLeft);
    }

    void grigliaImmaginiEDati()
    {
        QTableWidget tabella;
        GrigliaTabella g(&tabella);
        riempi(g, {"a", "b"});

        QVERIFY(!g.haImmagine(2, 0));
        g.impostaImmagine(2, 0, immagineProva());
        QVERIFY(g.haImmagine(2, 0));
        QVERIFY(!tabella.item(2, 0)->icon().isNull());
        QCOMPARE(g.rigaCorrente(), 2);
        QCOMPARE(g.colonnaCorrente(), 0);
        g.impostaImmagine(2, 0, QImage());
        QVERIFY(!g.haImmagine(2, 0));
        g.impostaImmagine(7, 0, immagineProva()); // outside: ignored
        QCOMPARE(g.righe(), 3);

        QCOMPARE(g.datoRiga(1), -1);
        g.impostaDatoRiga(1, 17);
        QCOMPARE(g.datoRiga(1), 17);
        QCOMPARE(g.datoRiga(99), -1);
    }

    void grigliaOrdina()
    {
        const QStringList testi{"delta", "Alfa", "charlie", "Bravo"};
        const struct
        {
            QStringList valori;
            bool ascendente;
            QStringList atteso;
        } casi[] = {{testi, true, {"Alfa", "Bravo", "charlie", "delta"}},
                    {testi, false, {"delta", "charlie", "Bravo", "Alfa"}},
                    {{"10", "9", "100"}, true, {"9", "10", "100"}}}; // numbers as numbers
        for (const auto& c : casi) {
            QTableWidget tabella;
            GrigliaTabella g(&tabella);
            riempi(g, c.valori);
            g.ordina(1, g.righe() - 1, 1, c.ascendente);
            QCOMPARE(g.testo(0, 1), "Nome"); // the header stays
            QStringList ottenuto;
            for (int r = 1; r < g.righe(); ++r)
                ottenuto << g.testo(r, 1);
            QCOMPARE(ottenuto, c.atteso);
        }

        // Each row keeps its own data, its other cells and its picture.
        QTableWidget tabella;
        GrigliaTabella g(&tabella);
        riempi(g, {"c", "a", "b"});
        for (int r = 1; r <= 3; ++r) {
            g.impostaDatoRiga(r, r);
            g.impostaTesto(r, 2, QString::number(r * 10));
        }
        g.impostaImmagine(1, 0, immagineProva()); // row "c"
        g.ordina(1, 3, 1, true);
        QCOMPARE((QStringList{g.testo(1, 1), g.testo(1, 2), g.testo(3, 1)}),
                 (QStringList{"a", "20", "c"}));
        QCOMPARE((QList<int>{g.datoRiga(1), g.datoRiga(3)}), (QList<int>{2, 1}));
        QVERIFY(g.haImmagine(3, 0) && !g.haImmagine(1, 0));
        QVERIFY(!(tabella.item(3, 0)->flags() & Qt::ItemIsSelectable));
        g.ordina(1, 3, 1, false);
        QCOMPARE(g.testo(1, 1), "c");
        QCOMPARE(g.datoRiga(1), 1);
        // Only the range moves; nonsense ranges and columns are ignored.
        g.ordina(2, 3, 1, true);
        g.ordina(3, 1, 1, true);
        g.ordina(1, 3, 9, true);
        QCOMPARE((QStringList{g.testo(1, 1), g.testo(2, 1)}), (QStringList{"c", "a"}));
    }

    void grigliaSelezione()
    {
        QTableWidget tabella;
        GrigliaTabella g(&tabella);
        QCOMPARE(g.rigaCorrente(), 0); // an empty grid
        riempi(g, {"a", "b", "c", "d"});
        // With nothing chosen, the first row under the header.
        QCOMPARE(g.rigaCorrente(), 1);
        QCOMPARE(g.rigaFineSelezione(), 1);

        g.impostaCellaCorrente(2, 1);
        QCOMPARE(g.rigaCorrente(), 2);
        QCOMPARE(g.colonnaCorrente(), 1);
        QCOMPARE(g.rigaFineSelezione(), 2);

        tabella.setRangeSelected(QTableWidgetSelectionRange(2, 1, 4, 1), true);
        QCOMPARE(g.rigaFineSelezione(), 4);
        // A selection that ends above the current row.
        g.impostaCellaCorrente(4, 1);
        tabella.setRangeSelected(QTableWidgetSelectionRange(1, 1, 4, 1), true);
        QCOMPARE(g.rigaFineSelezione(), 1);

        g.impostaCellaCorrente(40, 1); // outside: ignored
        QCOMPARE(g.rigaCorrente(), 4);
    }

    void grigliaPulisciEValida()
    {
        auto* tabella = new QTableWidget;
        GrigliaTabella g(tabella);
        riempi(g, {"a", "b"});
        g.impostaImmagine(1, 0, immagineProva());
        g.impostaDatoRiga(1, 5);
        g.pulisci();
        QCOMPARE(g.righe(), 3);
        QCOMPARE(g.colonne(), 3);
        QCOMPARE(g.testo(0, 1), QString());
        QCOMPARE(g.testo(2, 1), QString());
        QVERIFY(!g.haImmagine(1, 0));
        g.aggiorna();

        QVERIFY(g.valida());
        delete tabella;
        QVERIFY(!g.valida());
        // A grid whose widget is gone answers harmlessly.
        QCOMPARE(g.righe(), 0);
        QCOMPARE(g.testo(1, 1), QString());
        g.impostaTesto(1, 1, "x");
        g.aggiungiRiga("a\tb");
        g.ordina(1, 2, 1, true);
        g.pulisci();
        QCOMPARE(g.rigaFineSelezione(), 0);
    }

    void attesa()
    {
        bool risposta = false;
        bool scaduto = false;
        bool annullato = false;
        const auto tre = [&] {
            return Attesa::finche(
                {[&] { return risposta; }, [&] { return scaduto; }, [&] { return annullato; }});
        };
        QTimer::singleShot(5, [&] { scaduto = true; });
        QCOMPARE(tre(), 1);
        // A condition that already holds ends the wait at once; the first in order wins.
        annullato = true;
        QCOMPARE(tre(), 1);
        risposta = true;
        QVERIFY(Attesa::finche([&] { return risposta; }));

        QTimer::singleShot(5, [] { Attesa::interrompiTutto(); });
        QCOMPARE(Attesa::finche({[] { return false; }}), Attesa::kInterrotta);
        QVERIFY(Attesa::interrotta());
        QVERIFY(!Attesa::finche([] { return true; }));
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
        QString testoVisto;
        QString titoloVisto;
        auto premi = [&](QMessageBox::StandardButton pulsante) {
            QTimer::singleShot(0, [&, pulsante] {
                auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
                QVERIFY(box);
                testoVisto = box->text();
                titoloVisto = box->windowTitle();
                box->button(pulsante)->click();
            });
        };

        premi(QMessageBox::Yes);
        QCOMPARE(dialoghi.messaggio("Salvare?", "Salvataggio", Icona::Informazione, Pulsanti::SiNo),
                 Risposta::Si);
        QCOMPARE(testoVisto, "Salvare?");
        QCOMPARE(titoloVisto, "Salvataggio");

        premi(QMessageBox::No);
        QCOMPARE(dialoghi.messaggio("x", "t", Icona::Domanda, Pulsanti::SiNo), Risposta::No);
        premi(QMessageBox::Ok);
        QCOMPARE(dialoghi.messaggio("x", "t", Icona::Critica, Pulsanti::Ok), Risposta::Ok);

        // Closed by its frame button: the answer that changes nothing.
        QTimer::singleShot(0, [] { QApplication::activeModalWidget()->close(); });
        QCOMPARE(dialoghi.messaggio("x", "t", Icona::Avviso, Pulsanti::SiNo), Risposta::No);

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
        QVERIFY(cartella.valida());
        // A stand-in program that writes its argument and waits to be closed.
        QVERIFY(cartella.scrivi(
            "aiutante", "#!/bin/sh\nprintf '%s' \"$1\" > \"$(dirname \"$0\")/argomento.tmp\"\n"
                        "mv \"$(dirname \"$0\")/argomento.tmp\" \"$(dirname \"$0\")/argomento\"\n"
                        "exec sleep 120\n"));
        QVERIFY(QFile::setPermissions(cartella.file("aiutante"),
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

        AvvioProgrammiQt avvio(cartella.percorso());
        QCOMPARE(avvio.avvia("manca", "x"), 0);

        const QString argomenti = "127.0.0.1 + 10 + 2 + Stanza di prova + pw";
        const qint64 pid = avvio.avvia("aiutante", argomenti);
        QVERIFY(pid > 0);
        // However this test ends, the stand-in does not outlive it.
        bool chiuso = false;
        const auto fine = qScopeGuard([pid, &chiuso] {
            if (!chiuso)
                ::kill(static_cast<pid_t>(pid), SIGKILL);
        });
        // The whole text arrives as one argument.
        bool scaduto = false;
        QTimer limite;
        limite.setSingleShot(true);
        connect(&limite, &QTimer::timeout, [&scaduto] { scaduto = true; });
        limite.start(20000);
        Attesa::finche({[&] { return cartella.esiste("argomento"); }, [&] { return scaduto; }});
        QCOMPARE(QString::fromUtf8(cartella.leggi("argomento")), argomenti);

        QVERIFY(!avvio.chiediChiusura(0));
        QVERIFY(!avvio.chiediChiusura(QCoreApplication::applicationPid()));
        QVERIFY(avvio.chiediChiusura(pid));
        Attesa::finche(
            {[pid] { return ::kill(static_cast<pid_t>(pid), 0) != 0; }, [&] { return scaduto; }});
        chiuso = ::kill(static_cast<pid_t>(pid), 0) != 0;
        QVERIFY(chiuso);
    }

    void apriFileEStato()
    {
        test::CartellaTemporanea cartella;
        QVERIFY(!ApriFileQt().apri(cartella.file("manca.txt")));
        QLabel etichetta;
        etichetta.show();
        kalimo::mostraSubito(&etichetta, "In Connessione al master Locale");
        QCOMPARE(etichetta.text(), "In Connessione al master Locale");
        kalimo::mostraSubito(nullptr, "ignored");
    }
};

QTEST_MAIN(TestDesktop)
#include "tst_desktop.moc"
