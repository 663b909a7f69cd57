#include "room/invio_sessione.h"
#include "room/stanza.h"
#include "tests/support/fakegriglia.h"
#include "tests/support/wire.h"

#include <QTcpServer>
#include <QtTest>

using namespace kalimo;

namespace {

using test::wire;

QString nicks(const Stanza& s, bool speakingOnly = false)
{
    QStringList out;
    for (int i = 1; i <= s.NumUtenti(); ++i)
        out.append(!speakingOnly || s.Utenti(i)->Parlante ? s.Utenti(i)->NickName : QString());
    return out.filter(QRegularExpression(".")).join(u',');
}

// The room's error number; its description only goes to the log.
const auto error = [](const Stanza& s) { return int(s.Errori.Numero); };

// Room 100 with a (7), b (8) and c (9); one speaker at most.
void fillRoom(Stanza& s)
{
    s.ID = 100;
    s.MaxUtenti = 10;
    s.MaxUtentiAudio = 1;
    for (int id : {7, 8, 9})
        s.AggiungiUtente(id, QString(QChar(u'a' + id - 7)));
}

// Records every send as "id:payload"; `before` runs first and may fail it.
struct FakeSessione final : InvioSessione
{
    QStringList sent;
    std::function<bool()> before = [] { return true; };

    bool SendTo(qint32 playerId, const QString& payload) override
    {
        if (!before())
            return false;
        sent.append(QString::number(playerId) + u':' + payload);
        return true;
    }
};

} // namespace

class TestRoom : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void members()
    {
        Stanza s;
        int ends = 0;
        s.ImpostaTerminaEsecuzione([&] { ++ends; });
        s.AttivaWinsock = true; // assigned but never connected: no reports, no end
        // The placeholder in slot 0 is never searched.
        QVERIFY(s.Utenti(0) && !s.Utenti(1) && !s.Utenti(-1) && !s.EstPresenteUtente(QString()));
        s.MaxUtenti = 3;
        QVERIFY(s.AggiungiUtente(7, "anna", "10.0.0.1") && s.AggiungiUtente(8, "Anna"));
        QVERIFY(!s.AggiungiUtente(9, "anna"));
        QCOMPARE(error(s), 5); // already in the room
        QVERIFY(s.AggiungiUtente(9, "c") && !s.AggiungiUtente(10, "d"));
        QCOMPARE(error(s), 3); // full
        QCOMPARE(nicks(s) + s.Utenti(1)->IPAddress, "anna,Anna,c10.0.0.1");
        const UtentePtr held = s.Utenti(2);
        QVERIFY(s.EliminaUtente("Anna") && !s.EliminaUtente("Anna")); // the middle one
        QCOMPARE(nicks(s) + held->NickName, "anna,cAnna"); // a caller may keep a removed user
        QCOMPARE(error(s), 2);                             // not found

        s.MaxUtentiAudio = 1;
        QVERIFY(!s.UtenteParlante("nessuno") && s.Errori.Numero == 0);
        QVERIFY(s.UtenteParlante("anna") && !s.UtenteParlante("c"));
        QCOMPARE(error(s), 1);                                      // floor full
        QVERIFY(!s.UtenteParlante("anna") && s.Errori.Numero == 1); // capacity comes first
        s.MaxUtentiAudio = 5;
        QVERIFY(!s.UtenteParlante("anna")); // already speaking: no error, no second count
        QCOMPARE(error(s), 0);
        QVERIFY(!s.UtenteMuto("c") && s.UtenteParlante("c") && s.UtenteMutoID(9));
        QCOMPARE(nicks(s, true) + QString::number(s.NumUtentiAudio()), "anna1");

        QVERIFY(s.EliminaUtente("anna") && s.EliminaUtente("c"));
        QCOMPARE(ends, 0);
    }

    void grid()
    {
        // Only the voice client draws a room: the short grid, a picture per speaker.
        Stanza s;
        s.MaxUtenti = s.MaxUtentiAudio = 5;
        s.GrigliaSemplice = true;
        s.PictureMicrofono = QImage(4, 4, QImage::Format_RGB32);
        QVERIFY(s.AggiungiUtente(11, "a")); // no grid: still succeeds
        QCOMPARE(error(s), 4);              // no grid to draw on
        FakeGriglia g;
        s.grdUtenti = &g;
        s.VisualizzaUtenti(0); // not activated
        QCOMPARE(error(s), 4);
        s.AttivaGrafica = true;
        g.valid = false;
        s.VisualizzaUtenti(0);
        QCOMPARE(error(s), 4);
        QCOMPARE(g.clears + g.refreshes + g.righe() + g.colonne(), 0);
        g.valid = true;
        QVERIFY(s.UtenteParlante("a")); // a row the grid lacks waits for a rebuild
        s.VisualizzaUtenti(-1);
        QCOMPARE(g.refreshes + g.outOfRangeWrites, 0);
        QVERIFY(s.AggiungiUtente(22, "b") && s.AggiungiUtente(33, "c"));
        QVERIFY(s.UtenteMuto("a") && s.UtenteParlante("c") && s.EliminaUtente("b"));
        QCOMPARE(g.dump(), "|Nick Name|\n|a|\n|c|");
        QVERIFY(g.pictures == (QMap<QPair<int, int>, QImage>{{{2, 2}, s.PictureMicrofono}}));
        QVERIFY(s.UtenteMuto("c") && g.haImmagine(2, 2)); // the picture waits for a rebuild
        s.VisualizzaUtenti(0);
        QVERIFY(g.pictures.isEmpty());
        QCOMPARE(g.outOfRangeWrites, 0);
    }

    void relays_data()
    {
        // Sends as "id:message" with '#' between them; the speaker after.
        QTest::addColumn<int>("sender");
        QTest::addColumn<QString>("payload");
        QTest::addColumn<QString>("sent");
        QTest::addColumn<QString>("speaker");
        const auto row = [](const char* name, int sender, const char* payload, const char* sent,
                            const char* speaker = "") {
            QTest::newRow(name) << sender << wire(payload) << wire(sent) << QString(speaker);
        };
        row("floor full: only the asker hears the refusal", 7,
            "0001 ^ a ^ true |0001 ^ a ^ TRUE |0002 ^ a ^ a ~ ciao |0003 ^ a ^ a ~ c ~ solo "
            "|0004 ^ a ^b|0005 ^ a ^b|0006^a^b|",
            "100:0004 ^ 7 ~ true | #7:0001 ^ true | #100:0005 ^ a ~ ciao | #9:0006 ^ a ~ solo | "
            "#7:0007 ^ c ~ solo | #8:0008 ^ a | #8:0009 ^ a | #8:0010 ^ a | ",
            "a");
        row("the sender is who the session says", 8,
            "0001 ^ a ^ true |0002 ^ a ^ a ~ x |0003 ^ a ^ a ~ c ~ x |0004 ^ a ^c|",
            "100:0004 ^ 8 ~ true | #100:0005 ^ b ~ x | #9:0006 ^ b ~ x | #8:0007 ^ c ~ x | "
            "#9:0008 ^ b | ",
            "b");
        // Never sent to id 0, which reaches everybody.
        row("target not a member", 7, "0003 ^ a ^ a ~ zed ~ x |0004 ^ a ^ B |", "");
        row("sender not a member", 55, "0001 ^ a ^ true |0002 ^ a ^ a ~ x |", "");
        row("sender 0", 0, "0002 ^ a ^ a ~ x |", "");
        row("unended", 7, "0001 ^ a ^ true ", "");
        row("malformed ones skipped", 7,
            "0001 ^ true |0005 ^ a |0001 ^ a ^ forse |0001 ^ a ^ |0002 ^ a ^ ciao |0003 ^ a ^ a ~ "
            "c |0007 ^ a ^ b |0002 ^ a ^ a ~ dopo |",
            "100:0005 ^ a ~ dopo | ");
    }

    void relays()
    {
        QFETCH(int, sender);
        QFETCH(QString, payload);
        QFETCH(QString, sent);
        QFETCH(QString, speaker);
        Stanza s;
        fillRoom(s);
        FakeSessione session;
        QVERIFY(s.GestPacUtente(sender, payload, session));
        QCOMPARE(session.sent.join(u'#'), sent);
        QCOMPARE(nicks(s, true) + QString::number(s.NumUtentiAudio()),
                 speaker + QString::number(speaker.isEmpty() ? 0 : 1));
    }

    void failedSends()
    {
        // A failed send ends the payload; a departure during a send too.
        Stanza s;
        fillRoom(s);
        FakeSessione session;
        qsizetype limit = 0;
        session.before = [&] { return session.sent.size() < limit; };
        QVERIFY(!s.GestPacUtente(7, wire("0003 ^ a ^ a ~ b ~ x |0001 ^ a ^ true |"), session));
        QCOMPARE(session.sent.size() + s.NumUtentiAudio(), 0);
        limit = 1;
        QVERIFY(!s.GestPacUtente(7, wire("0003 ^ a ^ a ~ b ~ x |"), session));
        QCOMPARE(session.sent, QStringList{wire("8:0006 ^ a ~ x | ")}); // no echo
        session.before = [&] { return s.EliminaUtente("a"); };
        QVERIFY(s.GestPacUtente(7, wire("0002 ^ a ^ a ~ x |0002 ^ a ^ a ~ y |"), session));
        QCOMPARE(session.sent.mid(1), QStringList{wire("100:0005 ^ a ~ x | ")});
    }

    void connecting_data()
    {
        QTest::addColumn<bool>("winsock");
        QTest::addColumn<bool>("lent"); // the owner lends its socket
        QTest::addColumn<QString>("ip");
        QTest::addColumn<QString>("port");
        const auto row = [](const char* name, bool winsock, bool lent, const char* ip,
                            const char* port) {
            QTest::newRow(name) << winsock << lent << QString(ip) << QString(port);
        };
        row("no socket", true, false, "127.0.0.1", "7070");
        row("winsock off", false, true, "127.0.0.1", "7070");
        row("no address", true, true, "", "7070");
        row("port not a number", true, true, "127.0.0.1", "abc");
        row("port 0", true, true, "127.0.0.1", "0");
        row("port too large", true, true, "127.0.0.1", "70000");
        row("beyond a 16-bit signed number", true, true, "127.0.0.1", "40000");
    }
    void connecting()
    {
        QFETCH(bool, winsock);
        QFETCH(bool, lent);
        QFETCH(QString, ip);
        QFETCH(QString, port);
        QTcpSocket sock;
        Stanza s;
        s.AttivaWinsock = winsock;
        s.WSKServer = lent ? &sock : nullptr;
        s.IPServer = ip;
        s.PortaServer = port;
        // A second attempt from inside the owner's state handler is refused as busy (9).
        int nested = 0;
        QObject::connect(
            &sock, &QTcpSocket::stateChanged, &s,
            [&] { nested = s.ConnettiAlServer() ? -1 : error(s); }, Qt::SingleShotConnection);
        QVERIFY(!s.ConnettiAlServer());
        const bool valid = port == "40000";
        QCOMPARE(error(s), valid ? 9 : 7); // 7: no socket to connect
        QCOMPARE(nested, valid ? 9 : 0);
        QCOMPARE(sock.state() == QAbstractSocket::UnconnectedState, !valid);
        QVERIFY(!s.InviaIdentificazione("x") && !s.InviaDatiUtenti());
        QCOMPARE(error(s), 10); // not connected
        s.EstConnessoAServer = true;
        QVERIFY(s.ConnettiAlServer());
        QCOMPARE(error(s), 8); // connected already
    }

    void reports()
    {
        // Reports are read back in the room host's link test; here an unended server is dropped.
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        QTcpSocket client;
        Stanza s;
        s.WSKServer = &client;
        s.AttivaWinsock = true;
        s.IPServer = "127.0.0.1";
        s.PortaServer = QString::number(server.serverPort());
        QVERIFY(!s.ConnettiAlServer() && server.waitForNewConnection(10000));
        QTcpSocket* peer = server.nextPendingConnection();
        QTRY_COMPARE(client.state(), QAbstractSocket::ConnectedState);
        QVERIFY(!s.RiceviDalServer(QByteArray(70000, 'x')));
        QTRY_COMPARE(peer->state(), QAbstractSocket::UnconnectedState);
    }

    void replies_data()
    {
        // Replies as "code=params" or "end" with '#' between them; the request number.
        QTest::addColumn<QByteArrayList>("arrivals");
        QTest::addColumn<QString>("replies");
        QTest::addColumn<int>("number");
        const auto row = [](const char* name, const QList<const char*>& arrivals,
                            const char* replies, int number) {
            QByteArrayList bytes;
            for (const char* a : arrivals)
                bytes.append(test::wireBytes(a));
            QTest::newRow(name) << bytes << wire(replies) << number;
        };
        row("two", {"00071^ x |00001 ^ 5 ^ a ~ b | "}, "00071=x#00001=a ~ b", 5);
        row("cut inside a character", {"000", "72^ citt\xc3", "\xa0 |"}, "00072=città", 0);
        row("numbers", {"00002^ 9 ^ p |00003^ q |"}, "00002=p#00003=q", 9);
        row("not a number", {"00002^ x9 ^ p |"}, "00002=p", 0);
        row("no separator", {"00071|", "0002^ x |000123^ y |", "|||", "", "00071^ x "}, "", 0);
        row("nothing after the end order", {" 0001 ^ |00009^ y |"}, "end", 0);
    }

    void replies()
    {
        QFETCH(QByteArrayList, arrivals);
        Stanza s;
        QStringList got;
        s.ImpostaTerminaEsecuzione([&] { got.append("end"); });
        QObject::connect(&s, &Stanza::PacchettoDiAttesa, &s,
                         [&](const QString& c, const QString& p) { got.append(c + u'=' + p); });
        for (const QByteArray& arrival : arrivals)
            QVERIFY(s.RiceviDalServer(arrival));
        QTEST(got.join(u'#'), "replies");
        QTEST(s.UltimoNumeroRichiesta(), "number");
    }

    void linkFailures()
    {
        Stanza s;
        int ends = 0;
        s.ImpostaTerminaEsecuzione([&] { ++ends; });
        QVERIFY(s.RiceviDalServer(test::wireBytes("00071^ x |")));
        // Failed sends never fatal; identifying forgets the last reply; an empty linked room ends.
        QTcpSocket unconnected;
        s.WSKServer = &unconnected;
        s.AttivaWinsock = s.EstConnessoAServer = true;
        s.MaxUtenti = 2;
        QVERIFY(s.AggiungiUtente(1, "a"));
        QVERIFY(!s.InviaIdentificazione("chi") && !s.InviaDatiUtenti());
        QCOMPARE(QString::number(error(s)) + s.UltimoCodiceRisposta() +
                     QString::number(s.StatoPacchettoDiAttesa),
                 "01");
        QVERIFY(s.EliminaUtente("a"));
        QCOMPARE(ends, 1);
    }
};

QTEST_GUILESS_MAIN(TestRoom)
#include "tst_room.moc"
