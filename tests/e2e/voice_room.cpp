#include "tests/support/processivoce.h"

#include <csignal>
#include <memory>

namespace {

constexpr int kWait = kalimo::test::kAttesaProcessi;

// Adds what the ears heard to the shared client: one line per 100 ms window played, "epoch-ms
// level crossings-as-hz".
struct Voce : kalimo::test::ClienteVoce
{
    using ClienteVoce::ClienteVoce;
    QPair<int, int> toni(int hz, qint64 dopo) const
    {
        return kalimo::test::toniSentiti(ascolto, hz, dopo);
    }
};

const QString kPieno = "box|Kalimo|Non e' possibile collegarsi alla stanza, i posti disponibili "
                       "sono tutti occupati|ok";

} // namespace

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
        Voce bea(dir, "Bea", porta, "pw", 660, "yes");
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
            [&] { return cia.toni(440, 0).first >= 3 && bea.toni(440, 0).first >= 3; }, kWait));
        bea.fa("ctrl-down");
        QVERIFY(bea.vede("label|lblEstParlante|Non puoi parlare"));
        bea.fa("ctrl-up");

        // Muted: the mark goes, and once the frames already on their way have played, the tone
        // stops for good: a second and a half of silence in a row, however late it comes on a
        // busy machine. Bea never held the floor, so nobody ever heard her.
        ana.fa("mute");
        QVERIFY(cia.vede("label|lblNUPC|0"));
        const qint64 muto = QDateTime::currentMSecsSinceEpoch();
        QVERIFY2(QTest::qWaitFor([&] { return cia.toni(440, muto).second >= 15; }, kWait),
                 qPrintable(Voce::righe(cia.ascolto).join(u'\n')));
        QVERIFY2(cia.toni(660, 0).first == 0, qPrintable(Voce::righe(cia.ascolto).join(u'\n')));

        ana.fa("invite Bea");
        QVERIFY(bea.vede("box|Invito|L'utente Ana ti invita in privato; \\rAccetti?|yes-no"));
        QVERIFY(ana.vede("box|Kalimo|L'utente Bea ha accettato il tuo l'invito.\\rCliccando su "
                         "OK verrà creata la stanza|ok"));
        ana.fa("invite Cia");
        QVERIFY(ana.vede("box|Kalimo|L'Utente Cia non ha accettato l'invito|ok"));

        cia.p.kill();
        QVERIFY(ana.vede("grid|Ana,Bea"));
        ::kill(pid_t(bea.p.processId()), SIGTERM);
        QCOMPARE(bea.fine(), 0);
        QVERIFY(ana.vede("grid|Ana"));
        ana.fa("close");
        QCOMPARE(ana.fine(), 0);
    }

    void refusalsAndHostGone()
    {
        QTemporaryDir dir;
        QProcess stanza;
        const quint16 porta = kalimo::test::avviaStanza(
            stanza, "dead_peer_ms=5000\nname=Sala\nmax_users=1\npassword=pw\n");
        QVERIFY(porta);
        Voce ana(dir, "Ana", porta, "pw");
        QVERIFY(ana.vede("grid|Ana"));
        Voce bea(dir, "Bea", porta, "pw");
        QCOMPARE(bea.fine(), 1);
        QVERIFY(bea.vede(kPieno));
        Voce cia(dir, "Cia", porta, "sbagliata");
        QCOMPARE(cia.fine(), 1);
        QVERIFY(cia.vede(kPieno));

        stanza.kill();
        QVERIFY(ana.vede("box|Uscita|La connessione alla stanza e' terminata.|ok"));
        ana.fa("close-window");
        QCOMPARE(ana.fine(), 0);
    }
};

QTEST_GUILESS_MAIN(TestVoiceRoom)
#include "voice_room.moc"
