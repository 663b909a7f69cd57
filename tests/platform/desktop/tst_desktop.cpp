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

class TestDesktop : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init() { Attesa::riprendi(); }
    void cleanup() { Attesa::riprendi(); }

    void grigliaIntestazioniELarghezze();
    void grigliaImmaginiEDati();
    void grigliaOrdina_data();
    void grigliaOrdina();
    void grigliaOrdinaPortaDatiEImmagini();
    void grigliaSelezione();
    void grigliaPulisciEValida();
    void attesaCondizioni();
    void attesaInterrotta();
    void pausaLasciaCorrereGliEventi();
    void dialoghiQt();
    void avvioProgrammi();
    void apriFileMancante();
    void mostraSubito();
};

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
    g.impostaTesto(0, 1, QStringLiteral("Nome"));
    g.impostaTesto(0, 2, QStringLiteral("Utenti"));
    for (const QString& nome : nomi)
        g.aggiungiRiga(QStringLiteral(" \t") + nome);
}

} // namespace

void TestDesktop::grigliaIntestazioniELarghezze()
{
    QTableWidget tabella;
    GrigliaTabella g(&tabella);
    g.impostaColonne(3);
    g.impostaRighe(1);
    g.impostaTesto(0, 1, QStringLiteral("Utente"));
    g.impostaTesto(0, 2, QStringLiteral("Stato"));
    g.impostaLarghezzaColonna(0, 1);
    g.impostaLarghezzaColonna(1, 2000);
    g.impostaLarghezzaColonna(2, 1150);
    g.aggiungiRiga(QStringLiteral(" \tmario\tConnesso"));
    g.aggiungiRiga(QStringLiteral(" \tluigi\tNon Connesso\tin più"));

    QVERIFY(tabella.horizontalHeader()->isHidden());
    QVERIFY(tabella.verticalHeader()->isHidden());
    QCOMPARE(g.righe(), 3);
    QCOMPARE(tabella.rowCount(), 3);
    QCOMPARE(g.colonne(), 3);
    QCOMPARE(g.testo(0, 1), QStringLiteral("Utente"));
    QCOMPARE(tabella.item(0, 2)->text(), QStringLiteral("Stato"));
    QCOMPARE(g.testo(1, 1), QStringLiteral("mario"));
    QCOMPARE(g.testo(2, 2), QStringLiteral("Non Connesso"));
    QCOMPARE(g.testo(9, 9), QString());

    // 15 twips to a pixel; the twips asked for are what the grid reports.
    QCOMPARE(tabella.columnWidth(0), 0);
    QCOMPARE(tabella.columnWidth(1), 133);
    QCOMPARE(tabella.columnWidth(2), 76);
    QCOMPARE(g.larghezzaColonna(1), 2000);
    QCOMPARE(g.larghezzaColonna(2), 1150);

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

void TestDesktop::grigliaImmaginiEDati()
{
    QTableWidget tabella;
    GrigliaTabella g(&tabella);
    riempi(g, {QStringLiteral("a"), QStringLiteral("b")});

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

void TestDesktop::grigliaOrdina_data()
{
    QTest::addColumn<QStringList>("valori");
    QTest::addColumn<bool>("ascendente");
    QTest::addColumn<QStringList>("atteso");

    const QStringList testi{QStringLiteral("delta"), QStringLiteral("Alfa"),
                            QStringLiteral("charlie"), QStringLiteral("Bravo")};
    QTest::newRow("text ascending")
        << testi << true
        << QStringList{QStringLiteral("Alfa"), QStringLiteral("Bravo"), QStringLiteral("charlie"),
                       QStringLiteral("delta")};
    QTest::newRow("text descending")
        << testi << false
        << QStringList{QStringLiteral("delta"), QStringLiteral("charlie"), QStringLiteral("Bravo"),
                       QStringLiteral("Alfa")};
    QTest::newRow("numbers as numbers")
        << QStringList{QStringLiteral("10"), QStringLiteral("9"), QStringLiteral("100")} << true
        << QStringList{QStringLiteral("9"), QStringLiteral("10"), QStringLiteral("100")};
}

void TestDesktop::grigliaOrdina()
{
    QFETCH(QStringList, valori);
    QFETCH(bool, ascendente);
    QFETCH(QStringList, atteso);

    QTableWidget tabella;
    GrigliaTabella g(&tabella);
    riempi(g, valori);
    g.ordina(1, g.righe() - 1, 1, ascendente);
    QCOMPARE(g.testo(0, 1), QStringLiteral("Nome")); // the header stays
    QStringList ottenuto;
    for (int r = 1; r < g.righe(); ++r)
        ottenuto << g.testo(r, 1);
    QCOMPARE(ottenuto, atteso);
}

void TestDesktop::grigliaOrdinaPortaDatiEImmagini()
{
    QTableWidget tabella;
    GrigliaTabella g(&tabella);
    riempi(g, {QStringLiteral("c"), QStringLiteral("a"), QStringLiteral("b")});
    for (int r = 1; r <= 3; ++r) {
        g.impostaDatoRiga(r, r);
        g.impostaTesto(r, 2, QString::number(r * 10));
    }
    g.impostaImmagine(1, 0, immagineProva()); // row "c"

    g.ordina(1, 3, 1, true);
    // Each row keeps its own data, its other cells and its picture.
    QCOMPARE(g.testo(1, 1), QStringLiteral("a"));
    QCOMPARE(g.datoRiga(1), 2);
    QCOMPARE(g.testo(1, 2), QStringLiteral("20"));
    QCOMPARE(g.testo(3, 1), QStringLiteral("c"));
    QCOMPARE(g.datoRiga(3), 1);
    QVERIFY(g.haImmagine(3, 0));
    QVERIFY(!g.haImmagine(1, 0));
    QVERIFY(!(tabella.item(3, 0)->flags() & Qt::ItemIsSelectable));

    g.ordina(1, 3, 1, false);
    QCOMPARE(g.testo(1, 1), QStringLiteral("c"));
    QCOMPARE(g.datoRiga(1), 1);

    // Only the range moves.
    g.ordina(2, 3, 1, true);
    QCOMPARE(g.testo(1, 1), QStringLiteral("c"));
    QCOMPARE(g.testo(2, 1), QStringLiteral("a"));
    // Nonsense ranges and columns are ignored.
    g.ordina(3, 1, 1, true);
    g.ordina(1, 3, 9, true);
    QCOMPARE(g.testo(2, 1), QStringLiteral("a"));
}

void TestDesktop::grigliaSelezione()
{
    QTableWidget tabella;
    GrigliaTabella g(&tabella);
    QCOMPARE(g.rigaCorrente(), 0); // an empty grid
    riempi(g, {QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c"), QStringLiteral("d")});
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

void TestDesktop::grigliaPulisciEValida()
{
    auto* tabella = new QTableWidget;
    GrigliaTabella g(tabella);
    riempi(g, {QStringLiteral("a"), QStringLiteral("b")});
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
    g.impostaTesto(1, 1, QStringLiteral("x"));
    g.aggiungiRiga(QStringLiteral("a\tb"));
    g.ordina(1, 2, 1, true);
    g.pulisci();
    QCOMPARE(g.rigaFineSelezione(), 0);
}

void TestDesktop::attesaCondizioni()
{
    bool risposta = false;
    bool scaduto = false;
    bool annullato = false;
    QTimer::singleShot(5, [&] { scaduto = true; });
    const int fine = Attesa::finche(
        {[&] { return risposta; }, [&] { return scaduto; }, [&] { return annullato; }});
    QCOMPARE(fine, 1);
    QVERIFY(!risposta);

    // A condition that already holds ends the wait at once; the first in order wins.
    annullato = true;
    QCOMPARE(Attesa::finche(
                 {[&] { return risposta; }, [&] { return scaduto; }, [&] { return annullato; }}),
             1);
    risposta = true;
    QVERIFY(Attesa::finche([&] { return risposta; }));
}

void TestDesktop::attesaInterrotta()
{
    QTimer::singleShot(5, [] { Attesa::interrompiTutto(); });
    QCOMPARE(Attesa::finche({[] { return false; }}), Attesa::kInterrotta);
    QVERIFY(Attesa::interrotta());
    QVERIFY(!Attesa::finche([] { return true; }));
    Attesa::riprendi();
    QVERIFY(Attesa::finche([] { return true; }));
}

void TestDesktop::pausaLasciaCorrereGliEventi()
{
    int scatti = 0;
    QTimer timer;
    connect(&timer, &QTimer::timeout, [&scatti] { ++scatti; });
    timer.start(1);
    // The pause outlasts the timer's first tick, which must have run meanwhile.
    Attesa::Pausa(30);
    QVERIFY(scatti > 0);

    bool eseguito = false;
    QTimer::singleShot(0, [&eseguito] { eseguito = true; });
    Attesa::Pausa(0);
    QVERIFY(eseguito);
}

void TestDesktop::dialoghiQt()
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
    QCOMPARE(dialoghi.messaggio(QStringLiteral("Salvare?"), QStringLiteral("Salvataggio"),
                                Icona::Informazione, Pulsanti::SiNo),
             Risposta::Si);
    QCOMPARE(testoVisto, QStringLiteral("Salvare?"));
    QCOMPARE(titoloVisto, QStringLiteral("Salvataggio"));

    premi(QMessageBox::No);
    QCOMPARE(dialoghi.messaggio(QStringLiteral("x"), QStringLiteral("t"), Icona::Domanda,
                                Pulsanti::SiNo),
             Risposta::No);
    premi(QMessageBox::Ok);
    QCOMPARE(
        dialoghi.messaggio(QStringLiteral("x"), QStringLiteral("t"), Icona::Critica, Pulsanti::Ok),
        Risposta::Ok);

    // Closed by its frame button: the answer that changes nothing.
    QTimer::singleShot(0, [] { QApplication::activeModalWidget()->close(); });
    QCOMPARE(
        dialoghi.messaggio(QStringLiteral("x"), QStringLiteral("t"), Icona::Avviso, Pulsanti::SiNo),
        Risposta::No);

    QTimer::singleShot(0, [] {
        auto* box = qobject_cast<QInputDialog*>(QApplication::activeModalWidget());
        QVERIFY(box);
        box->setTextValue(QStringLiteral("scritto"));
        box->accept();
    });
    QCOMPARE(dialoghi.input(QStringLiteral("Titolo"), QStringLiteral("Nome?")),
             QStringLiteral("scritto"));
    QTimer::singleShot(0,
                       [] { qobject_cast<QDialog*>(QApplication::activeModalWidget())->reject(); });
    QCOMPARE(dialoghi.input(QStringLiteral("Titolo"), QStringLiteral("Nome?"),
                            QStringLiteral("predefinito")),
             QString());
}

void TestDesktop::avvioProgrammi()
{
    test::CartellaTemporanea cartella;
    QVERIFY(cartella.valida());
    // A stand-in program that writes its argument and waits to be closed.
    QVERIFY(
        cartella.scrivi(QStringLiteral("aiutante"),
                        "#!/bin/sh\nprintf '%s' \"$1\" > \"$(dirname \"$0\")/argomento.tmp\"\n"
                        "mv \"$(dirname \"$0\")/argomento.tmp\" \"$(dirname \"$0\")/argomento\"\n"
                        "exec sleep 120\n"));
    QVERIFY(QFile::setPermissions(cartella.file(QStringLiteral("aiutante")),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

    AvvioProgrammiQt avvio(cartella.percorso());
    QCOMPARE(avvio.avvia(QStringLiteral("manca"), QStringLiteral("x")), 0);

    const QString argomenti = QStringLiteral("127.0.0.1 + 10 + 2 + Stanza di prova + pw");
    const qint64 pid = avvio.avvia(QStringLiteral("aiutante"), argomenti);
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
    Attesa::finche(
        {[&] { return cartella.esiste(QStringLiteral("argomento")); }, [&] { return scaduto; }});
    QCOMPARE(QString::fromUtf8(cartella.leggi(QStringLiteral("argomento"))), argomenti);

    QVERIFY(!avvio.chiediChiusura(0));
    QVERIFY(!avvio.chiediChiusura(QCoreApplication::applicationPid()));
    QVERIFY(avvio.chiediChiusura(pid));
    Attesa::finche(
        {[pid] { return ::kill(static_cast<pid_t>(pid), 0) != 0; }, [&] { return scaduto; }});
    chiuso = ::kill(static_cast<pid_t>(pid), 0) != 0;
    QVERIFY(chiuso);
}

void TestDesktop::apriFileMancante()
{
    test::CartellaTemporanea cartella;
    ApriFileQt apri;
    QVERIFY(!apri.apri(cartella.file(QStringLiteral("manca.txt"))));
}

void TestDesktop::mostraSubito()
{
    QLabel etichetta;
    etichetta.show();
    kalimo::mostraSubito(&etichetta, QStringLiteral("In Connessione al master Locale"));
    QCOMPARE(etichetta.text(), QStringLiteral("In Connessione al master Locale"));
    kalimo::mostraSubito(nullptr, QStringLiteral("ignored"));
}

QTEST_MAIN(TestDesktop)
#include "tst_desktop.moc"
