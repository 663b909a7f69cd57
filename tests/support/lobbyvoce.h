#pragma once

#include "lobby/frmlistastanze.h"
#include "lobby/module1.h"
#include "platform/desktop/programmi.h"
#include "room/griglia.h"
#include "tests/support/bancolobby.h"
#include "tests/support/processivoce.h"

#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace kalimo::test {

using namespace kalimo::lobby;

// Long enough for real processes on a loaded machine; nothing waits it out.
constexpr int kAttesaVoce = 30000;

// The voice clients' test hooks: synthetic silent audio, scripted Yes answers,
// commands on standard input, short pauses.
inline void preparaAmbienteVoce(const QTemporaryDir& dir)
{
    qputenv("KALIMO_AUDIO", "synthetic");
    qputenv("KALIMO_AUDIO_TONE", "0");
    qputenv("KALIMO_AUDIO_SETTINGS", QByteArray(dir.filePath("audio.ini").toUtf8()));
    qputenv("KALIMO_TEST_ANSWERS", "yes");
    qputenv("KALIMO_TEST_CONTROL", "1");
    qputenv("KALIMO_TEST_INTERVALS", "pause=20,deadpeer=5000");
}

// The master's room port range, where no other test looks.
inline QByteArray porteStanze()
{
    QUdpSocket sonda;
    if (!sonda.bind(QHostAddress::LocalHost, 0))
        return {};
    const quint16 base = qMin(sonda.localPort(), quint16(65000));
    return QString("[Rooms]\nFirstUdpPort=%1\nLastUdpPort=%2\n").arg(base).arg(base + 40).toUtf8();
}

// The real program starter; each voice client it starts gets a trace file of
// its own and a pipe on its standard input for the test's commands.
class Avviatore final : public AvvioProgrammi
{
public:
    Avviatore(QTemporaryDir& dir, QString nome) : m_dir(dir), m_nome(std::move(nome)) {}
    ~Avviatore() override
    {
        for (qint64 id : ids)
            ::kill(pid_t(id), SIGKILL);
        for (int fd : m_comandi)
            ::close(fd);
    }
    qint64 avvia(const QString& programma, const QString& argomenti) override
    {
        tracce << m_dir.filePath(m_nome + QString::number(tracce.size() + 1) + ".trace");
        qputenv("KALIMO_TEST_TRACE", tracce.last().toUtf8());
        int tubo[2];
        if (::pipe2(tubo, O_CLOEXEC) != 0)
            return 0;
        const int salvato = ::dup(0);
        ::dup2(tubo[0], 0);
        const qint64 id = m_reale.avvia(programma, argomenti);
        ::dup2(salvato, 0);
        ::close(salvato);
        ::close(tubo[0]);
        m_comandi << tubo[1];
        ids << id;
        return id;
    }
    bool chiediChiusura(qint64 id) override { return m_reale.chiediChiusura(id); }

    void comando(const QByteArray& riga)
    {
        const QByteArray testo = riga + '\n';
        (void)!::write(m_comandi.last(), testo.constData(), size_t(testo.size()));
    }
    // The grid of the last voice client started comes to show one of `griglie`.
    bool vede(const QStringList& griglie) const
    {
        return QTest::qWaitFor(
            [&] {
                const QStringList righe = ClienteVoce::righe(tracce.value(tracce.size() - 1))
                                              .filter(QRegularExpression("^grid\\|"));
                return !righe.isEmpty() && griglie.contains(righe.last());
            },
            kAttesaVoce);
    }

    QStringList tracce;
    QList<qint64> ids;

private:
    AvvioProgrammiQt m_reale{qEnvironmentVariable("KALIMO_BIN_DIR")};
    QTemporaryDir& m_dir;
    QString m_nome;
    QList<int> m_comandi;
};

// A lobby in this process, logged in as `nick`, starting real voice clients.
struct Lobby
{
    Lobby(QTemporaryDir& dir, quint16 portaMaster, const QString& nick)
        : banco(kAttesaVoce), avviatore(dir, nick)
    {
        banco.avvio = &avviatore;
        banco.collega(portaMaster, nick, "Segreto1");
        m = &banco.modulo();
    }
    // The room list as the grid shows it, freshly asked for.
    QStringList stanze()
    {
        banco.pulsante("cmdListaStanze")->click();
        frmListaStanze* lista = m->FrmListaStanze();
        auto* aggiorna = BancoLobby::figlio<QPushButton>(lista, "CmdAggiorna");
        (void)QTest::qWaitFor([&] { return aggiorna->isEnabled(); }, kAttesaVoce);
        aggiorna->click();
        QStringList righe;
        for (int r = 1; r < lista->griglia().righe(); ++r)
            righe << lista->griglia().testo(r, 1) + " " + lista->griglia().testo(r, 2);
        righe.sort();
        return righe;
    }
    bool vedeStanze(const QStringList& attese)
    {
        return QTest::qWaitFor([&] { return stanze() == attese; }, kAttesaVoce);
    }
    void entra(const QString& nome)
    {
        frmListaStanze* lista = m->FrmListaStanze();
        for (int r = 1; r < lista->griglia().righe(); ++r)
            if (lista->griglia().testo(r, 1) == nome)
                lista->griglia().impostaCellaCorrente(r, 1);
        BancoLobby::figlio<QPushButton>(lista, "cmdAccedi")->click();
    }

    BancoLobby banco;
    Avviatore avviatore;
    Module1* m = nullptr;
};

} // namespace kalimo::test
