#pragma once

#include <QFile>
#include <QHash>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

// The real room host and voice clients run as processes, traced and driven through their
// standard input.
namespace kalimo::test {

constexpr int kAttesaProcessi = 20000;

// A kalimo-roomhost on loopback, fed `dati` after the address; its port, 0 on failure.
inline quint16 avviaStanza(QProcess& p, const QString& dati)
{
    p.start(qEnvironmentVariable("KALIMO_BIN_DIR") + "/kalimo-roomhost", {});
    p.write(("bind=127.0.0.1\npermanent=true\n" + dati).toUtf8());
    p.closeWriteChannel();
    static const QRegularExpression re("listening on 127\\.0\\.0\\.1:(\\d+)");
    QString log;
    (void)QTest::qWaitFor(
        [&] { return re.match(log += QString::fromUtf8(p.readAllStandardError())).hasMatch(); },
        kAttesaProcessi);
    return quint16(re.match(log).captured(1).toUInt());
}

// A voice client in room "Sala" with synthetic audio playing `tono` Hz, answering its boxes
// from `risposte`.
struct ClienteVoce
{
    ClienteVoce(const QTemporaryDir& dir, const QString& nick, quint16 porta,
                const QString& password = {}, int tono = 0, const QString& risposte = {})
        : traccia(dir.filePath(nick + ".trace")), ascolto(dir.filePath(nick + ".rec"))
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        QHash<QString, QString> valori{{"KALIMO_AUDIO", "synthetic"},
                                       {"KALIMO_AUDIO_TONE", QString::number(tono)},
                                       {"KALIMO_AUDIO_RECORD", ascolto},
                                       {"KALIMO_AUDIO_SETTINGS", dir.filePath(nick + ".ini")},
                                       {"KALIMO_TEST_TRACE", traccia},
                                       {"KALIMO_TEST_ANSWERS", risposte},
                                       {"KALIMO_TEST_CONTROL", "1"},
                                       {"KALIMO_TEST_INTERVALS", "pause=20,deadpeer=5000"}};
        for (auto i = valori.cbegin(); i != valori.cend(); ++i)
            env.insert(i.key(), i.value());
        p.setProcessEnvironment(env);
        p.start(qEnvironmentVariable("KALIMO_BIN_DIR") + "/voice",
                {QString("127.0.0.1 + 3 + 1 + Sala + %1 + %2 + %3 + 127.0.0.1 + Kalimo 2.0b +  + 1")
                     .arg(password)
                     .arg(porta)
                     .arg(nick)});
    }
    static QStringList righe(const QString& percorso)
    {
        QFile f(percorso);
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()).split(u'\n')
                                           : QStringList{};
    }
    QStringList righe() const { return righe(traccia); }
    bool vede(const QString& riga) const
    {
        return QTest::qWaitFor([&] { return righe().contains(riga); }, kAttesaProcessi);
    }
    void fa(const QString& comando) { p.write((comando + u'\n').toUtf8()); }
    int fine()
    {
        return p.waitForFinished(kAttesaProcessi) && p.exitStatus() == QProcess::NormalExit
                   ? p.exitCode()
                   : -1;
    }

    QProcess p; // its destructor kills a client still running
    QString traccia, ascolto;
};

// For the windows of 100 ms that a voice client's recording `ascolto` played after `dopo`
// (epoch ms): how many carry a tone near `hz`, and how many in a row at the end do not.
inline QPair<int, int> toniSentiti(const QString& ascolto, int hz, qint64 dopo)
{
    int n = 0, senza = 0;
    for (const QString& r : ClienteVoce::righe(ascolto)) {
        const QStringList c = r.split(u' ');
        if (c.size() != 3 || c[0].toLongLong() <= dopo)
            continue;
        const bool tono = c[1].toInt() > 1000 && qAbs(c[2].toInt() - hz) < hz / 10;
        n += tono;
        senza = tono ? 0 : senza + 1;
    }
    return {n, senza};
}

} // namespace kalimo::test
