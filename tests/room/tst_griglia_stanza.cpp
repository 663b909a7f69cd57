#include "room/stanza.h"
#include "tests/support/fakegriglia.h"

#include <QtTest>

using namespace kalimo;

namespace {

const char* const kErrore4 = "La grafica non e' stata attivata per questa istanza di stanza oppure "
                             "non e' stata assegnata una griglia a questa istanza";

QImage microfono()
{
    QImage img(4, 4, QImage::Format_RGB32);
    img.fill(Qt::red);
    return img;
}

// A room of three with b speaking, drawn into `g`.
void fill(Stanza& s, FakeGriglia& g, bool semplice)
{
    s.MaxUtenti = 5;
    s.MaxUtentiAudio = 5;
    s.GrigliaSemplice = semplice;
    s.PictureMicrofono = microfono();
    s.grdUtenti = &g;
    s.AttivaGrafica = true;
    s.AggiungiUtente(11, "a", "10.0.0.1");
    s.AggiungiUtente(22, "b");
    s.AggiungiUtente(33, "c", "10.0.0.3");
    s.UtenteParlante("b");
}

} // namespace

class TestGrigliaStanza : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void noDrawingWithoutUsableGrid_data()
    {
        QTest::addColumn<bool>("attiva");
        QTest::addColumn<bool>("assegnata");
        QTest::addColumn<bool>("valida");
        QTest::newRow("display off") << false << true << true;
        QTest::newRow("no grid") << true << false << true;
        QTest::newRow("grid gone") << true << true << false;
    }
    void noDrawingWithoutUsableGrid()
    {
        QFETCH(bool, attiva);
        QFETCH(bool, assegnata);
        QFETCH(bool, valida);
        FakeGriglia g;
        g.valid = valida;
        Stanza s;
        s.MaxUtenti = 3;
        s.AttivaGrafica = attiva;
        s.grdUtenti = assegnata ? &g : nullptr;
        QVERIFY(s.AggiungiUtente(1, "a")); // the operation still succeeds
        QCOMPARE(s.Errori.Numero, 4);
        QCOMPARE(s.Errori.Descrizione, kErrore4);
        s.VisualizzaUtenti(0);
        QCOMPARE(s.Errori.Numero, 4);
        QCOMPARE(g.clears + g.refreshes + g.righe() + g.colonne(), 0);
    }

    void emptyRoomShowsHeaderOnly()
    {
        FakeGriglia g;
        Stanza s;
        s.grdUtenti = &g;
        s.AttivaGrafica = true;
        s.VisualizzaUtenti(0);
        QCOMPARE(s.Errori.Numero, 0);
        QCOMPARE(s.Errori.Descrizione, "No Errori");
        QCOMPARE(g.righe(), 1);
        QCOMPARE(g.colonne(), 5);
        QCOMPARE(g.row(0), (QStringList{"", "ID", "Nick Name", "Parlante", "IPAddress"}));
        QCOMPARE(g.refreshes, 1);
    }

    void fullLayout()
    {
        FakeGriglia g;
        Stanza s;
        fill(s, g, false);
        QCOMPARE(g.righe(), 4);
        QCOMPARE(g.colonne(), 5);
        const QList<int> widths = {300, 300, 1800, 700, 1200};
        for (int c = 0; c < 5; ++c)
            QCOMPARE(g.larghezzaColonna(c), widths.at(c));
        QCOMPARE(g.row(0), (QStringList{"", "ID", "Nick Name", "Parlante", "IPAddress"}));
        QCOMPARE(g.row(1), (QStringList{"", "11", "a", "NO", "10.0.0.1"}));
        QCOMPARE(g.row(2), (QStringList{"", "22", "b", "SI", ""}));
        QCOMPARE(g.row(3), (QStringList{"", "33", "c", "NO", "10.0.0.3"}));
        QCOMPARE(g.pictureCount(), 0);

        // A change of speaking state rewrites its row only.
        const int clears = g.clears;
        QVERIFY(s.UtenteMuto("b"));
        QCOMPARE(g.clears, clears);
        QCOMPARE(g.row(2), (QStringList{"", "22", "b", "NO", ""}));

        QVERIFY(s.EliminaUtente("a"));
        QCOMPARE(g.clears, clears + 1);
        QCOMPARE(g.righe(), 3);
        QCOMPARE(g.row(1), (QStringList{"", "22", "b", "NO", ""}));
        QCOMPARE(g.outOfRangeWrites, 0);
    }

    void shortLayoutAndStalePicture()
    {
        FakeGriglia g;
        Stanza s;
        fill(s, g, true);
        QCOMPARE(g.colonne(), 3);
        QCOMPARE(g.larghezzaColonna(0), 1);
        QCOMPARE(g.larghezzaColonna(1), 2480);
        QCOMPARE(g.larghezzaColonna(2), 400);
        QCOMPARE(g.row(0), (QStringList{"", "Nick Name", ""}));
        QCOMPARE(g.row(1), (QStringList{"", "a", ""}));

        s.VisualizzaUtenti(0);
        QCOMPARE(g.pictureCount(), 1);
        QVERIFY(g.haImmagine(2, 2));
        QCOMPARE(g.immagine(2, 2), microfono());
        QCOMPARE(g.rigaCorrente(), 2);
        QCOMPARE(g.colonnaCorrente(), 2);

        // Silenced by a row rewrite: the text is blanked, the picture stays...
        QVERIFY(s.UtenteMuto("b"));
        QCOMPARE(g.testo(2, 2), QString());
        QVERIFY(g.haImmagine(2, 2));
        // ...until the next full rebuild.
        s.VisualizzaUtenti(0);
        QCOMPARE(g.pictureCount(), 0);
        QCOMPARE(g.outOfRangeWrites, 0);
    }

    void rowRewriteOutsideGridDrawsNothing()
    {
        FakeGriglia g;
        Stanza s;
        s.MaxUtenti = 3;
        s.MaxUtentiAudio = 3;
        s.AggiungiUtente(1, "a"); // no grid yet
        s.grdUtenti = &g;
        s.AttivaGrafica = true;
        QVERIFY(s.UtenteParlante("a"));
        QCOMPARE(s.Errori.Numero, 0);
        QCOMPARE(g.outOfRangeWrites, 0);
        QCOMPARE(g.refreshes, 0);
        s.VisualizzaUtenti(7); // not a member index
        s.VisualizzaUtenti(-1);
        QCOMPARE(g.outOfRangeWrites, 0);
        s.VisualizzaUtenti(0);
        QCOMPARE(g.row(1), (QStringList{"", "1", "a", "SI", ""}));
    }
};

QTEST_GUILESS_MAIN(TestGrigliaStanza)
#include "tst_griglia_stanza.moc"
