// The master link on its own, against the fake master: no widget anywhere.

#include "lobby/collegamentomaster.h"
#include "platform/desktop/attesa.h"
#include "protocol/framing.h"
#include "tests/support/fakemaster.h"

#include <QSignalSpy>
#include <QTest>
#include <QTimer>

using namespace kalimo;
using namespace kalimo::lobby;
using namespace kalimo::test;

namespace {

const auto richiesta = [](const char* codice) { return masterRequest(QString(codice), u"anna"); };
// Runs `azione` from the event loop, i.e. inside whatever wait runs then.
const auto durante = [](const std::function<void()>& azione) { QTimer::singleShot(0, azione); };

} // namespace

class TestCollegamento final : public QObject
{
    Q_OBJECT

    FakeMaster* fm = nullptr;
    CollegamentoMaster* link = nullptr;

private Q_SLOTS:
    void init()
    {
        Attesa::riprendi();
        fm = new FakeMaster;
        QVERIFY(fm->ascolta());
        link = new CollegamentoMaster;
        QVERIFY(link->connetti(QStringLiteral("127.0.0.1"), fm->porta(), 5000));
    }
    void cleanup()
    {
        delete link;
        delete fm;
    }

    void connessione()
    {
        QVERIFY(link->connesso());
        QCOMPARE(link->indirizzoLocale(), QStringLiteral("127.0.0.1"));
        CollegamentoMaster altro;
        // Refused at once, and a stop that holds from the start: no connection either way.
        QVERIFY(!altro.connetti("127.0.0.1", FakeMaster::portaChiusa(), 60000));
        QVERIFY(!altro.connetti("127.0.0.1", fm->porta(), 60000, [] { return true; }));
        QVERIFY(!altro.connesso());
        QCOMPARE(altro.richiesta(richiesta("0011"), 60000).esito, EsitoRichiesta::Interrotta);
    }

    // The reply that comes unasked; a stop in flight hands the turn on.
    void attesaEFermo()
    {
        durante([&] { fm->invia(FakeMaster::messaggio(u"00071", {"1.2.3.4", "2302"})); });
        const RispostaMaster dati = link->attendi(5000);
        QVERIFY(dati.e(u"00071"));
        QCOMPARE(dati.campo(1), QStringLiteral("2302"));
        QVERIFY(fm->richieste().isEmpty());

        fm->quando("0008", FakeMaster::niente());
        fm->quando("0011", FakeMaster::rispondi(u"00012"));
        bool ferma = false;
        RispostaMaster dopo;
        durante([&] {
            durante([&] { ferma = true; });
            dopo = link->richiesta(richiesta("0011"), 5000);
        });
        QCOMPARE(link->richiesta(richiesta("0008"), 5000, [&] { return ferma; }).esito,
                 EsitoRichiesta::Interrotta);
        QVERIFY(dopo.e(u"00012"));
    }

    // How arrived text reaches the waiting exchange.
    void arrivi_data()
    {
        QTest::addColumn<QString>("dati");
        QTest::addColumn<QString>("codice"); // empty: the wait runs into its time-out
        QTest::addColumn<QString>("parametri");
        const auto riga = [](const char* nome, const char* dati, const char* codice = "",
                             const char* parametri = "") {
            QTest::newRow(nome) << wire(dati) << QString(codice) << wire(parametri);
        };
        riga("trimmed", "  00012 ^ 20 ~ 5 ~ 2.0b | ", "00012", "20 ~ 5 ~ 2.0b");
        riga("first of two", "00008 ^ 3 |00010 ^ a ~ b | ", "00008", "3");
        riga("no SEP1 yet", "00012 ^ 20 ~ 5");
        riga("two SEP2", "00012 ^ 20 ^ 5 |");
        riga("no SEP2", "00012 |");
        riga("notifications", "0001^x~y|0009^x|0002^anna~ciao|");
        riga("after a bad piece", "x ^ y ^ z |00002 ^ 0 |", "00002", "0");
    }
    void arrivi()
    {
        QFETCH(QString, dati);
        QFETCH(QString, codice);
        durante([&] { link->gestisciArrivo(dati); });
        const RispostaMaster r = link->attendi(30);
        QCOMPARE(r.esito, codice.isEmpty() ? EsitoRichiesta::TimeOut : EsitoRichiesta::Risposta);
        QCOMPARE(r.codice(), codice);
        QTEST(r.messaggio.block, "parametri");
    }

    // A message cut across arrivals is joined; one that never ends closes the link.
    void flusso()
    {
        fm->quando("0011", FakeMaster::grezzo("000"));
        fm->dopoRichiesta = [&](const FakeMaster::Richiesta& r) {
            if (r.codice == "0011")
                QTimer::singleShot(20, [&] { fm->invia(wireBytes("12^ 7 ~ 8 |")); });
        };
        QCOMPARE(link->richiesta(richiesta("0011"), 5000).campo(1), QStringLiteral("8"));
        QSignalSpy chiuso(link, &CollegamentoMaster::chiusoDalMaster);
        fm->quando("0008", FakeMaster::grezzo(QByteArray(StreamReassembler::kDefaultCap + 1, 'x')));
        QCOMPARE(link->richiesta(richiesta("0008"), 5000).esito, EsitoRichiesta::Interrotta);
        QCOMPARE(chiuso.count(), 1);
    }
};

QTEST_GUILESS_MAIN(TestCollegamento)
#include "tst_collegamento.moc"
