#pragma once

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

namespace kalimo::test {

inline constexpr int kAttesaProcessi = 20000;

inline QString cartellaProgrammi()
{
    return qEnvironmentVariable("KALIMO_BIN_DIR");
}

// A kalimo-roomhost fed its room data on standard input; its port, 0 on failure.
inline quint16 avviaStanza(QProcess& p, const QString& dati)
{
    p.start(cartellaProgrammi() + QStringLiteral("/kalimo-roomhost"), {});
    p.write(("bind=127.0.0.1\ndead_peer_ms=1500\npermanent=true\n" + dati).toUtf8());
    p.closeWriteChannel();
    static const QRegularExpression re(QStringLiteral("listening on 127\\.0\\.0\\.1:(\\d+)"));
    QString log;
    (void)QTest::qWaitFor(
        [&] { return re.match(log += QString::fromUtf8(p.readAllStandardError())).hasMatch(); },
        kAttesaProcessi);
    return quint16(re.match(log).captured(1).toUInt());
}

// A voice client in room "Sala" with quiet synthetic audio, traced, driven
// through its standard input, its boxes answered from `risposte`.
struct ProcessoVoce
{
    ProcessoVoce(QTemporaryDir& dir, const QString& nick, quint16 porta, const QString& password,
                 const QString& risposte = {}, quint16 portaLobby = 0)
        : traccia(dir.filePath(nick + QStringLiteral(".trace")))
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("KALIMO_AUDIO"), QStringLiteral("synthetic"));
        env.insert(QStringLiteral("KALIMO_AUDIO_TONE"), QStringLiteral("0"));
        env.insert(QStringLiteral("KALIMO_AUDIO_SETTINGS"), dir.filePath(nick + QStringLiteral(".ini")));
        env.insert(QStringLiteral("KALIMO_TEST_TRACE"), traccia);
        env.insert(QStringLiteral("KALIMO_TEST_ANSWERS"), risposte);
        env.insert(QStringLiteral("KALIMO_TEST_CONTROL"), QStringLiteral("1"));
        env.insert(QStringLiteral("KALIMO_TEST_INTERVALS"),
                   QStringLiteral("pause=20,deadpeer=1500"));
        if (portaLobby)
            env.insert(QStringLiteral("KALIMO_VOICE_LINK_PORT"), QString::number(portaLobby));
        p.setProcessEnvironment(env);
        p.start(cartellaProgrammi() + QStringLiteral("/voice"),
                {QStringLiteral("127.0.0.1 + 3 + 1 + Sala + %1 + %2 + %3 + 127.0.0.1 + "
                                "Kalimo 2.0b +  + 1")
                     .arg(password)
                     .arg(porta)
                     .arg(nick)});
    }
    QStringList righe() const
    {
        QFile f(traccia);
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()).split(u'\n')
                                           : QStringList{};
    }
    bool vede(const QString& riga) const
    {
        return QTest::qWaitFor([&] { return righe().contains(riga); }, kAttesaProcessi);
    }
    void fa(const QString& comando) { p.write((comando + u'\n').toUtf8()); }
    int fine()
    {
        return p.waitForFinished(kAttesaProcessi) && p.exitStatus() == 0 ? p.exitCode() : -1;
    }

    QProcess p; // its destructor kills a client still running
    QString traccia;
};

} // namespace kalimo::test
