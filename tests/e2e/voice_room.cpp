#include "tests/support/processivoce.h"

#include <csignal>

using kalimo::test::toniSentiti;
using Voce = kalimo::test::ClienteVoce;
constexpr int kWait = kalimo::test::kAttesaProcessi;

class TestVoiceRoom final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void roomLife()
    {
        QTemporaryDir dir;
        QProcess stanza;
        const quint16 porta = kalimo::test::avviaStanza(
            stanza, "dead_peer_ms=5000\nname=Sala\nmax_users=3\npassword=pw\n");
        QVERIFY(porta);
        Voce ana(dir, "Ana", porta, "pw", 440);
        QVERIFY(ana.vede("grid|Ana"));
        Voce bea(dir, "Bea", porta, "pw", 660);
        QVERIFY(bea.vede("grid|Ana,Bea"));
        Voce cia(dir, "Cia", porta, "pw", 0, "no");
        for (Voce* v : {&ana, &bea, &cia})
            QVERIFY(v->vede("grid|Ana,Bea,Cia"));
        QVERIFY(cia.vede("setup|saved"));

        // Ana takes the floor: everyone sees her microphone and hears her tone.
        ana.fa("talk");
        for (Voce* v : {&ana, &bea, &cia})
            QVERIFY(v->vede("grid|Ana*,Bea,Cia"));
        QVERIFY(QTest::qWaitFor(
            [&] {
                return toniSentiti(cia.ascolto, 440, 0).first >= 3 &&
                       toniSentiti(bea.ascolto, 440, 0).first >= 3;
            },
            kWait));

        // Muted: once the frames already on their way have played, the tone stops for good (a
        // second and a half of silence in a row, however late). Bea never held the floor.
        ana.fa("mute");
        QVERIFY(cia.vede("label|lblNUPC|0"));
        const qint64 muto = QDateTime::currentMSecsSinceEpoch();
        QVERIFY2(QTest::qWaitFor([&] { return toniSentiti(cia.ascolto, 440, muto).second >= 15; },
                                 kWait),
                 qPrintable(Voce::righe(cia.ascolto).join(u'\n')));
        QVERIFY2(toniSentiti(cia.ascolto, 660, 0).first == 0,
                 qPrintable(Voce::righe(cia.ascolto).join(u'\n')));

        cia.p.kill();
        QVERIFY(ana.vede("grid|Ana,Bea"));
        ::kill(pid_t(bea.p.processId()), SIGTERM);
        QCOMPARE(bea.fine(), 0);
        QVERIFY(ana.vede("grid|Ana"));
        // The host gone, the last member is told; its window still closes cleanly.
        stanza.kill();
        QVERIFY(ana.vede("box|Uscita|La connessione alla stanza e' terminata.|ok"));
        ana.fa("close-window");
        QCOMPARE(ana.fine(), 0);
    }
};

QTEST_GUILESS_MAIN(TestVoiceRoom)
#include "voice_room.moc"
