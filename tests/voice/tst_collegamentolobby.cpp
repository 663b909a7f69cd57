#include "tests/support/bancovoce.h"
#include "voice/collegamentolobby.h"

#include <QAbstractButton>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTextBrowser>

using namespace kalimo;
using namespace kalimo::voce;
using namespace kalimo::test;

class TestCollegamentoLobby final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init() { Attesa::riprendi(); }

    void collegamento()
    {
        QTcpServer lobby;
        QVERIFY(lobby.listen(QHostAddress::LocalHost));
        const quint16 porta = lobby.serverPort();
        lobby.close();
        qputenv(CollegamentoLobby::kVariabilePorta, QByteArray::number(porta));
        Banco b(nullptr, {30, 0, 200, 60000});
        QVERIFY(b.avvia());
        auto* timer = b.w<QTimer>("TimerConnessione");
        QSignalSpy tick(timer, &QTimer::timeout);
        // Nobody listens yet: the attempts go on.
        QTRY_VERIFY(tick.count() >= 2);
        QVERIFY(timer->isActive());
        QVERIFY(lobby.listen(QHostAddress::LocalHost, porta));
        const int prima = tick.count();
        QTRY_VERIFY(lobby.hasPendingConnections() && !timer->isActive());
        QCOMPARE(tick.count() - prima, 1);
        QTcpSocket* link = lobby.nextPendingConnection();

        // Accepting an invitation, then someone accepting ours: one request each.
        b.arriva("0002 ^ Bea ~ 7 |");
        b.f().griglia().impostaCellaCorrente(1, 1);
        b.f().findChild<QAbstractButton*>("cmdStanzaPrivata")->click();
        b.dialoghi.risposte.enqueue(Risposta::Si);
        b.arriva("0008 ^ Bea |");
        b.arriva("0009 ^ Bea |");
        QByteArray arrivati;
        const QByteArray attesi = wireBytes("0002 ^ NO PARAMETRI |0001 ^ Bea |");
        QTRY_COMPARE((arrivati += link->readAll()), attesi);

        // The lobby closing the link ends the client as its close button does.
        link->disconnectFromHost();
        QTRY_COMPARE(b.codice, 0);
        QCOMPARE(b.canale->chiamate.mid(b.canale->chiamate.size() - kPulizia.size()), kPulizia);
        QVERIFY(!b.f().isVisible());
    }

    // The lobby closing the link while the audio set-up window waits for the
    // user ends the client there and then.
    void chiusoDuranteImpostazioni()
    {
        QTcpServer lobby;
        QVERIFY(lobby.listen(QHostAddress::LocalHost));
        qputenv(CollegamentoLobby::kVariabilePorta, QByteArray::number(lobby.serverPort()));
        Banco b(nullptr, {30, 0, 10, 60000});
        b.canale->esitiVoce << VoiceResult{VoiceError::SetupRequired, "prima volta"};
        bool chiuso = false;
        b.duranteImpostazioni = [&] {
            // The window's own loop: it runs until the user answers or the program ends.
            QVERIFY(Attesa::finche([&] { return lobby.hasPendingConnections(); }));
            lobby.nextPendingConnection()->disconnectFromHost();
            chiuso = Attesa::finche([&] { return b.codice >= 0; });
        };
        QVERIFY(!b.avvia());
        QVERIFY(!chiuso); // the wait was ended by the program's end, not by the user
        QCOMPARE(b.codice, 0);
        QCOMPARE(b.canale->chiamate.mid(b.canale->chiamate.size() - kPulizia.size()), kPulizia);
        QVERIFY(b.dialoghi.messaggi.isEmpty());
    }

    void banner()
    {
        QTcpServer web;
        QVERIFY(web.listen(QHostAddress::LocalHost));
        int richieste = 0;
        connect(&web, &QTcpServer::newConnection, [&] {
            while (QTcpSocket* s = web.nextPendingConnection()) {
                connect(s, &QTcpSocket::readyRead, s, [s, &richieste] {
                    if (!s->readAll().startsWith("GET /pagina"))
                        return;
                    ++richieste;
                    s->write("HTTP/1.0 200 OK\r\nContent-Type: text/html; charset=utf-8\r\n\r\n"
                             "<b>Pubblicit\xc3\xa0</b>");
                    s->disconnectFromHost();
                });
            }
        });
        const QString indirizzo = QString("http://127.0.0.1:%1/pagina").arg(web.serverPort());
        // Every `minuti` ticks, every tick for 0 and 1.
        for (const int minuti : {3, 0}) {
            richieste = 0;
            Banco b;
            QString riga = QString(kRiga).replace("+  + 3", "+ " + indirizzo + " + ");
            QVERIFY(b.avvia(riga + QString::number(minuti)));
            QTRY_COMPARE(b.w<QTextBrowser>("WB")->toPlainText(), "Pubblicità");
            QVERIFY(b.w("picBanner")->isVisible());
            // Ticks by hand, each seen through before the next.
            auto* timer = b.w<QTimer>("tmrRefreshBanner");
            QVERIFY(timer->isActive());
            timer->stop();
            for (int k = 1; k <= 7; ++k) {
                QVERIFY(QMetaObject::invokeMethod(timer, "timeout"));
                QTRY_COMPARE(richieste, 1 + k / qMax(minuti, 1));
            }
        }
    }
};

QTEST_MAIN(TestCollegamentoLobby)
#include "tst_collegamentolobby.moc"
