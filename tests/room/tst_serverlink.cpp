#include "room/stanza.h"

#include <QTcpServer>
#include <QtTest>

using namespace kalimo;

namespace {

// '|' = SEP2, '^' = SEP3, '$' = SEP1.
QByteArray wire(const char* text)
{
    return QByteArray(text).replace('|', '\x1e').replace('^', '\x1f').replace('$', '\x1d');
}

// A room linked over loopback to a server socket the test drives, with the
// owner's side wired the way a hosting program does it.
struct Link
{
    QTcpServer server;
    QTcpSocket client;
    QTcpSocket* peer = nullptr;
    Stanza room;
    int readyReads = 0;
    int ends = 0;

    bool open()
    {
        if (!server.listen(QHostAddress::LocalHost, 0))
            return false;
        QObject::connect(&client, &QTcpSocket::connected, &room,
                         [this] { room.EstConnessoAServer = true; });
        QObject::connect(&client, &QTcpSocket::disconnected, &room,
                         [this] { room.EstConnessoAServer = false; });
        QObject::connect(&client, &QTcpSocket::readyRead, &room, [this] {
            ++readyReads;
            room.RiceviDalServer(client.readAll());
        });
        room.ImpostaTerminaEsecuzione([this] { ++ends; });
        room.WSKServer = &client;
        room.AttivaWinsock = true;
        room.IPServer = "127.0.0.1";
        room.PortaServer = QString::number(server.serverPort());
        room.Nome = "Sala";
        room.MaxUtenti = 10;
        room.MaxUtentiAudio = 3;
        if (room.ConnettiAlServer() || room.Errori.Numero != 0 ||
            !server.waitForNewConnection(10000))
            return false;
        peer = server.nextPendingConnection();
        return QTest::qWaitFor([this] { return room.EstConnessoAServer; }, 10000);
    }

    // Everything the server has been sent, once at least `size` bytes arrived.
    QByteArray received(qsizetype size)
    {
        QByteArray all;
        while (all.size() < size && (peer->bytesAvailable() > 0 || peer->waitForReadyRead(10000)))
            all += peer->readAll();
        return all;
    }

    // Sends from the server side and waits until the room's owner read it.
    bool serve(const QByteArray& bytes)
    {
        const int before = readyReads;
        peer->write(bytes);
        peer->flush();
        return QTest::qWaitFor([&] { return readyReads > before; }, 10000);
    }
};

} // namespace

class TestServerLink : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void connectRefusals()
    {
        const struct
        {
            bool winsock, socket;
            const char *ip, *port;
        } rows[] = {{true, false, "127.0.0.1", "7070"}, {false, true, "127.0.0.1", "7070"},
                    {true, true, "", "7070"},           {true, true, "127.0.0.1", ""},
                    {true, true, "127.0.0.1", "abc"},   {true, true, "127.0.0.1", "0"},
                    {true, true, "127.0.0.1", "70000"}};
        for (const auto& r : rows) {
            QTcpSocket sock;
            Stanza s;
            s.AttivaWinsock = r.winsock;
            if (r.socket)
                s.WSKServer = &sock;
            s.IPServer = r.ip;
            s.PortaServer = r.port;
            QVERIFY(!s.ConnettiAlServer());
            QCOMPARE(s.Errori.Numero, 7);
            QCOMPARE(s.Errori.Descrizione, "Il Winsock non e' stato attivato o il controllo "
                                           "winsock non e' stato assegnato");
            QVERIFY(!s.EstConnessoAServer && !s.DammiStatoServer());
            QCOMPARE(sock.state(), QAbstractSocket::UnconnectedState);
            s.DisconnettiDaServer(); // harmless without a connection
            QVERIFY(!s.InviaIdentificazione("x"));
            QCOMPARE(s.Errori.Numero, 10);
            QCOMPARE(s.Errori.Descrizione, "La stanza non e' connessa ad un server per cui non "
                                           "puo inviare l'identificazione");
            QVERIFY(!s.InviaDatiUtenti());
        }
    }

    void connectStates()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        QTcpSocket sock;
        Stanza s;
        s.WSKServer = &sock;
        s.AttivaWinsock = true;
        s.IPServer = "127.0.0.1";
        s.PortaServer = QString::number(server.serverPort());
        // The owner's handler may run while the connection starts: a second
        // attempt from inside it is refused.
        int nested = -1;
        connect(&sock, &QTcpSocket::stateChanged, &s, [&] {
            if (nested == -1)
                nested = s.ConnettiAlServer() ? 1 : s.Errori.Numero;
        });
        QVERIFY(!s.ConnettiAlServer());
        QCOMPARE(nested, 9);
        QVERIFY(server.waitForNewConnection(10000));
        QTRY_VERIFY(s.DammiStatoServer());
        s.EstConnessoAServer = true;
        QVERIFY(s.ConnettiAlServer());
        QCOMPARE(s.Errori.Numero, 8);
        QCOMPARE(s.Errori.Descrizione, "La stanza e' gia connessa ad un server");

        // Ports beyond a 16-bit signed number are ordinary TCP ports.
        Stanza high;
        QTcpSocket other;
        high.WSKServer = &other;
        high.AttivaWinsock = true;
        high.IPServer = "127.0.0.1";
        high.PortaServer = "40000";
        QVERIFY(!high.ConnettiAlServer());
        QCOMPARE(high.Errori.Numero, 0);
        QVERIFY(other.state() != QAbstractSocket::UnconnectedState);
        other.abort();
    }

    void identificationAndReports()
    {
        Link link;
        QVERIFY(link.open());
        Stanza& s = link.room;
        s.EstStabile = s.EstStanzaMultipla = true;
        s.Password = "pw";
        s.PasswordServer = "spw";
        s.PortaUtenti = "2302";
        QVERIFY(s.InviaIdentificazione("chi"));
        QCOMPARE(s.StatoPacchettoDiAttesa, 1);
        s.StatoPacchettoDiAttesa = 0;
        QVERIFY(s.InviaIdentificazione("chi"));
        QCOMPARE(s.StatoPacchettoDiAttesa, 1);

        QVERIFY(s.AggiungiUtente(7, "anna", "10.0.0.1"));
        QVERIFY(s.AggiungiUtente(8, "bob"));
        QVERIFY(s.UtenteParlante("bob"));
        QVERIFY(s.UtenteParlante("anna"));
        QVERIFY(s.UtenteMutoID(7));
        QVERIFY(s.InviaDatiUtenti());
        QVERIFY(s.EliminaUtente("bob")); // a speaker: silenced, then removed
        QVERIFY(s.EliminaUtente("anna"));
        QCOMPARE(link.ends, 0); // permanent room

        const QByteArray expected =
            wire("0001 | 1 | Sala ^ 10 ^ 3 ^ True ^ pw ^ spw ^ True ^ 2302 ^ chi $ "
                 "0001 | 2 | Sala ^ 10 ^ 3 ^ True ^ pw ^ spw ^ True ^ 2302 ^ chi $ "
                 "0002 | Sala ^ 7 ^ anna ^ 10.0.0.1 ^ False $ "
                 "0002 | Sala ^ 8 ^ bob ^  ^ False $ "
                 "0004 | Sala ^ bob $ 0004 | Sala ^ anna $ 0005 | Sala ^ anna $ "
                 "0002 | Sala ^ 7 ^ anna ^ 10.0.0.1 ^ False $ "
                 "0002 | Sala ^ 8 ^ bob ^  ^ True $ "
                 "0004 | Sala ^ bob $ 0005 | Sala ^ bob $ 0003 | Sala ^ bob $ "
                 "0003 | Sala ^ anna $ ");
        QCOMPARE(link.received(expected.size()), expected);
    }

    void lastLeaveEndsTemporaryRoom()
    {
        Link link;
        QVERIFY(link.open());
        Stanza& s = link.room;
        s.Nome = "Città";
        QVERIFY(s.AggiungiUtente(1, "a"));
        QVERIFY(s.AggiungiUtente(2, "b"));
        QVERIFY(s.EliminaUtente("a"));
        QCOMPARE(link.ends, 0);
        QVERIFY(s.EliminaUtente("b"));
        QCOMPARE(link.ends, 1);
        const QByteArray expected = wire("0002 | Città ^ 1 ^ a ^  ^ False $ "
                                         "0002 | Città ^ 2 ^ b ^  ^ False $ "
                                         "0003 | Città ^ a $ 0003 | Città ^ b $ ");
        QCOMPARE(link.received(expected.size()), expected);
        QTRY_COMPARE(link.peer->state(), QAbstractSocket::UnconnectedState);
    }

    void repliesFromServer()
    {
        Link link;
        QVERIFY(link.open());
        Stanza& s = link.room;
        QSignalSpy spy(&s, &Stanza::PacchettoDiAttesa);

        // Two replies in one arrival, handled in order.
        QVERIFY(link.serve(wire("00071| x $00001 | 5 | a ^ b $ ")));
        QCOMPARE(spy.count(), 2);
        QCOMPARE(spy.at(0), (QVariantList{"00071", "x"}));
        QCOMPARE(spy.at(1), (QVariantList{"00001", "a \x1f b"}));
        QCOMPARE(s.UltimoCodiceRisposta(), "00001");
        QCOMPARE(s.UltimiParametriRisposta(), "a \x1f b");
        QCOMPARE(s.UltimoNumeroRichiesta(), 5);

        // A reply cut across arrivals, even inside a character, waits for its end.
        QVERIFY(link.serve(wire("000")));
        QVERIFY(link.serve(QByteArray("72\x1e citt\xc3")));
        QCOMPARE(spy.count(), 2);
        QVERIFY(link.serve(QByteArray("\xa0 \x1d")));
        QCOMPARE(spy.count(), 3);
        QCOMPARE(spy.at(2), (QVariantList{"00072", QString::fromUtf8("città")}));
        QCOMPARE(s.UltimoNumeroRichiesta(), 0);

        QVERIFY(s.InviaIdentificazione("chi"));
        QCOMPARE(s.UltimoCodiceRisposta(), QString());
        QCOMPARE(s.UltimiParametriRisposta(), QString());

        // The server orders the end; nothing after the order is handled.
        QVERIFY(link.serve(wire("0001| $00009| y $")));
        QCOMPARE(link.ends, 1);
        QCOMPARE(spy.count(), 3);
    }

    void linkCloses()
    {
        for (bool oversized : {false, true}) {
            Link link;
            QVERIFY(link.open());
            QVERIFY(link.room.DammiStatoServer());
            if (oversized)
                QVERIFY(!link.room.RiceviDalServer(QByteArray(70000, 'x')));
            else
                link.room.DisconnettiDaServer();
            QVERIFY(!link.room.DammiStatoServer());
            QTRY_COMPARE(link.peer->state(), QAbstractSocket::UnconnectedState);
        }
    }

    void handlePieces()
    {
        const struct
        {
            const char* text;
            QStringList replies;
            int ends, numero;
        } rows[] = {{"00071| x $", {"00071=x"}, 0, 0},
                    {"00002| 9 | p $", {"00002=p"}, 0, 9},
                    {"00002| 9 | p $00003| q $", {"00002=p", "00003=q"}, 0, 9},
                    {"00002| x9 | p $", {"00002=p"}, 0, 0},
                    {"00071| x ", {}, 0, 0},
                    {"00071$", {}, 0, 0},
                    {"0002| x $000123| y $", {}, 0, 0},
                    {" 0001 | $", {}, 1, 0},
                    {"", {}, 0, 0},
                    {"$$$", {}, 0, 0}};
        for (const auto& r : rows) {
            Stanza s;
            int ended = 0;
            s.ImpostaTerminaEsecuzione([&] { ++ended; });
            QStringList got;
            connect(&s, &Stanza::PacchettoDiAttesa, &s,
                    [&](const QString& c, const QString& p) { got.append(c + u'=' + p); });
            s.GestPacServer(QString::fromUtf8(wire(r.text)));
            QVERIFY2(got == r.replies && ended == r.ends, r.text);
            QCOMPARE(s.UltimoNumeroRichiesta(), r.numero);
        }
    }

    void randomArrivalsNeverCrash()
    {
        Stanza s;
        int ended = 0;
        s.ImpostaTerminaEsecuzione([&] { ++ended; });
        QRandomGenerator rng(1234);
        const char alphabet[] = "0123456789 abc\x1d\x1e\x1f\xc3\xa0";
        for (int round = 0; round < 2000; ++round) {
            QByteArray bytes(int(rng.bounded(40)), Qt::Uninitialized);
            for (char& c : bytes)
                c = round % 2 ? char(rng.bounded(256))
                              : alphabet[rng.bounded(int(sizeof(alphabet) - 1))];
            QVERIFY(s.RiceviDalServer(bytes));
        }
        // Whatever came before, the link still reads the next whole reply.
        QSignalSpy spy(&s, &Stanza::PacchettoDiAttesa);
        QVERIFY(s.RiceviDalServer(wire("$00071| x $")));
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy.at(0), (QVariantList{"00071", "x"}));
    }

    void defaultEndQuitsEventLoop()
    {
        Stanza s;
        QTimer::singleShot(0, &s, [&] { s.GestPacServer(QString::fromUtf8(wire("0001| $"))); });
        QTimer::singleShot(60000, [] { QCoreApplication::exit(1); }); // safety net only
        QCOMPARE(QCoreApplication::exec(), 0);
    }

    void failedSendsAreAbsorbed()
    {
        QTcpSocket sock; // never connected
        Stanza s;
        s.WSKServer = &sock;
        s.AttivaWinsock = s.EstConnessoAServer = true;
        s.MaxUtenti = 2;
        QVERIFY(s.AggiungiUtente(1, "a"));
        QVERIFY(!s.InviaIdentificazione("chi"));
        QCOMPARE(s.Errori.Numero, 0);
        QCOMPARE(s.StatoPacchettoDiAttesa, 1);
        QVERIFY(!s.InviaDatiUtenti());
    }
};

QTEST_GUILESS_MAIN(TestServerLink)
#include "tst_serverlink.moc"
