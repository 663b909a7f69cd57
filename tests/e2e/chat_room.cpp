#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

namespace {

constexpr int kAttesa = 20000;
const QString kBin = qEnvironmentVariable("KALIMO_BIN_DIR");

// A voice client in room "Sala", traced and driven through its standard input.
struct Voce
{
    Voce(QTemporaryDir& dir, const QString& nick, quint16 porta) : traccia(dir.filePath(nick))
    {
        // The lobby link goes to a port nobody listens on.
        QTcpServer chiusa;
        chiusa.listen(QHostAddress::LocalHost, 0);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const auto& [k, v] :
             {std::pair{"KALIMO_AUDIO", QString("synthetic")},
              {"KALIMO_AUDIO_TONE", "0"},
              {"KALIMO_AUDIO_SETTINGS", traccia + ".ini"},
              {"KALIMO_TEST_TRACE", traccia},
              {"KALIMO_TEST_CONTROL", "1"},
              {"KALIMO_TEST_INTERVALS", "pause=20"},
              {"KALIMO_VOICE_LINK_PORT", QString::number(chiusa.serverPort())}})
            env.insert(k, v);
        p.setProcessEnvironment(env);
        p.start(kBin + "/voice", {QString("127.0.0.1 + 3 + 1 + Sala +  + %1 + %2 + 127.0.0.1 + "
                                          "Kalimo 2.0b +  + 1")
                                      .arg(porta)
                                      .arg(nick)});
    }
    QStringList righe() const
    {
        QFile f(traccia);
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()).split('\n')
                                           : QStringList{};
    }
    bool vede(const QString& riga) const
    {
        return QTest::qWaitFor([&] { return righe().contains(riga); }, kAttesa);
    }
    void fa(const QString& comando) { p.write((comando + "\n").toUtf8()); }

    QProcess p; // its destructor kills a client still running
    QString traccia;
};

} // namespace

class TestChatRoom final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void chatPubblicaEPrivata()
    {
        QTemporaryDir dir;
        QProcess stanza;
        stanza.start(kBin + "/kalimo-roomhost", {});
        stanza.write("bind=127.0.0.1\npermanent=true\nname=Sala\nmax_users=3\n");
        stanza.closeWriteChannel();
        static const QRegularExpression re("listening on 127\\.0\\.0\\.1:(\\d+)");
        QString log;
        QVERIFY(QTest::qWaitFor(
            [&] { return re.match(log += stanza.readAllStandardError()).hasMatch(); }, kAttesa));
        const quint16 porta = quint16(re.match(log).captured(1).toUInt());
        Voce ana(dir, "Ana", porta);
        QVERIFY(ana.vede("grid|Ana"));
        Voce bea(dir, "Bea", porta);
        for (Voce* v : {&ana, &bea})
            QVERIFY(v->vede("grid|Ana,Bea"));

        // Bea's public window is not open yet: Ana's first line never reaches it.
        ana.fa("chat-public primo");
        QVERIFY(ana.vede("chat|_ALL_|<Ana>  primo"));
        bea.fa("chat-public secondo");
        for (Voce* v : {&ana, &bea})
            QVERIFY(v->vede("chat|_ALL_|<Bea>  secondo"));
        QVERIFY(!bea.righe().contains("chat|_ALL_|<Ana>  primo"));

        ana.fa("chat-private Bea ciao Bea");
        QVERIFY(bea.vede("chat|Ana|<Ana>  ciao Bea"));
        bea.fa("chat-private Ana ciao Ana");
        // Each sees both private lines, in order, in the window of the other.
        for (Voce* v : {&ana, &bea}) {
            const QString w = v == &ana ? "chat|Bea|" : "chat|Ana|";
            QVERIFY(v->vede(w + "<Bea>  ciao Ana"));
            QCOMPARE(v->righe().filter(w),
                     QStringList({w + "<Ana>  ciao Bea", w + "<Bea>  ciao Ana"}));
        }

        ana.fa("close");
        bea.fa("close-window");
        for (Voce* v : {&ana, &bea})
            QVERIFY(v->p.waitForFinished(kAttesa) && v->p.exitCode() == 0);
        stanza.kill();
        stanza.waitForFinished();
    }
};

QTEST_GUILESS_MAIN(TestChatRoom)
#include "chat_room.moc"
