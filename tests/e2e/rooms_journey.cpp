#include "lobby/frmclient.h"
#include "lobby/frmlistastanze.h"
#include "lobby/frmnuovastanza.h"
#include "lobby/module1.h"
#include "platform/desktop/attesa.h"
#include "platform/desktop/programmi.h"
#include "room/griglia.h"
#include "tests/support/bancolobby.h"
#include "tests/support/processomaster.h"
#include "tests/support/registrazione.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QUdpSocket>

#include <QRegularExpression>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

using namespace kalimo;
using namespace kalimo::test;

namespace {

constexpr int kAttesa = 30000;

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
    // The grid of the n-th voice client started (0: the last) comes to show one of `griglie`.
    bool vede(const QStringList& griglie, int n = 0) const
    {
        return QTest::qWaitFor(
            [&] {
                QFile f(tracce.value(n ? n - 1 : tracce.size() - 1));
                QStringList righe = f.open(QIODevice::ReadOnly)
                                        ? QString::fromUtf8(f.readAll()).split('\n')
                                        : QStringList();
                righe = righe.filter(QRegularExpression("^grid\\|"));
                return !righe.isEmpty() && griglie.contains(righe.last());
            },
            kAttesa);
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
        : banco(kAttesa), avviatore(dir, nick)
    {
        banco.cartella.scrivi("User.ini",
                              ("USERNAME : " + nick + "\r\nPASSWORD : Segreto1\r\n").toUtf8());
        banco.scriviMasters(BancoLobby::rigaMaster("Locale", portaMaster));
        banco.intervalli.primoAggiornamentoListe = 1;
        banco.intervalli.aggiornamentoListe = 3600000;
        banco.avvio = &avviatore;
        m = &banco.modulo();
        banco.clicConnetti();
    }
    static QPushButton* pulsante(QWidget* w, const char* nome)
    {
        return w->findChild<QPushButton*>(nome);
    }
    // The room list as the grid shows it, freshly asked for.
    QStringList stanze()
    {
        pulsante(m->FrmClient(), "cmdListaStanze")->click();
        frmListaStanze* lista = m->FrmListaStanze();
        (void)QTest::qWaitFor([&] { return pulsante(lista, "CmdAggiorna")->isEnabled(); }, kAttesa);
        pulsante(lista, "CmdAggiorna")->click();
        QStringList righe;
        for (int r = 1; r < lista->griglia().righe(); ++r)
            righe << lista->griglia().testo(r, 1) + " " + lista->griglia().testo(r, 2);
        righe.sort();
        return righe;
    }
    bool vedeStanze(const QStringList& attese)
    {
        return QTest::qWaitFor([&] { return stanze() == attese; }, kAttesa);
    }
    void entra(const QString& nome)
    {
        frmListaStanze* lista = m->FrmListaStanze();
        for (int r = 1; r < lista->griglia().righe(); ++r) {
            if (lista->griglia().testo(r, 1) == nome)
                lista->griglia().impostaCellaCorrente(r, 1);
        }
        pulsante(lista, "cmdAccedi")->click();
    }

    BancoLobby banco;
    Avviatore avviatore;
    Module1* m = nullptr;
};

} // namespace

class TestRoomsJourney final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        qputenv("KALIMO_AUDIO", "synthetic");
        qputenv("KALIMO_AUDIO_TONE", "0");
        qputenv("KALIMO_AUDIO_SETTINGS", QByteArray(m_dir.filePath("audio.ini").toUtf8()));
        qputenv("KALIMO_TEST_ANSWERS", "yes");
        qputenv("KALIMO_TEST_CONTROL", "1");
        qputenv("KALIMO_TEST_INTERVALS", "pause=20,deadpeer=1500");
    }

    void journey()
    {
        // Room ports where no other test looks.
        QUdpSocket sonda;
        QVERIFY(sonda.bind(QHostAddress::LocalHost, 0));
        const quint16 base = qMin(sonda.localPort(), quint16(65000));
        sonda.close();
        ProcessoMaster master;
        QVERIFY(master.avvia(QString("[Rooms]\nFirstUdpPort=%1\nLastUdpPort=%2\n"
                                     "[PermanentRooms]\nsize=1\n1\\Name=Piazza\n1\\MaxUsers=5\n"
                                     "1\\MaxAudioUsers=2\n")
                                 .arg(base)
                                 .arg(base + 40)
                                 .toUtf8()));
        QVERIFY(registraAccount(master.porta(), "ana", "Segreto1"));
        QVERIFY(registraAccount(master.porta(), "bea", "Segreto1"));
        Lobby a(m_dir, master.porta(), "ana"), b(m_dir, master.porta(), "bea");
        QVERIFY(a.m->ConnessoAlMaster && b.m->ConnessoAlMaster);

        // ana enters the permanent room and is counted in it.
        QVERIFY(a.vedeStanze({"Piazza 0 / 5"}));
        a.entra("Piazza");
        QVERIFY(a.avviatore.vede({"grid|ana"}));
        QTRY_COMPARE_WITH_TIMEOUT(a.m->FrmClient()->findChild<QLabel*>("lbl")->text(), "Connesso",
                                  kAttesa);
        QVERIFY(b.vedeStanze({"Piazza 1 / 5"}));

        // bea creates a room; her voice client joins it.
        Lobby::pulsante(b.m->FrmClient(), "cmdNuovaStanza")->click();
        frmNuovaStanza* nuova = b.m->FrmNuovaStanzaEsistente();
        nuova->findChild<QLineEdit*>("txtNomeStanza")->setText("Sala");
        nuova->findChild<QComboBox*>("txtMaxUtenti")->setCurrentText("4");
        nuova->findChild<QComboBox*>("txtMaxAudio")->setCurrentText("2");
        Lobby::pulsante(nuova, "cmdCreala")->click();
        QVERIFY(b.avviatore.vede({"grid|bea"}));
        QVERIFY(a.vedeStanze({"Piazza 1 / 5", "Sala 1 / 4"}));

        // ana moves there: her first voice client is asked to close.
        a.entra("Sala");
        QVERIFY(a.avviatore.vede({"grid|bea,ana"}));
        QVERIFY(b.avviatore.vede({"grid|bea,ana"}));
        QVERIFY(a.vedeStanze({"Piazza 0 / 5", "Sala 2 / 4"}));

        // Inside the room ana invites bea, who accepts: both lobbies get the
        // private room and their new voice clients meet there.
        // Both voice clients linked to their lobbies: a request sent before is lost.
        QTRY_COMPARE_WITH_TIMEOUT(a.m->IndiceWskVoice, qint16(2), kAttesa);
        a.avviatore.comando("invite bea");
        const QStringList insieme{"grid|ana,bea", "grid|bea,ana"};
        QVERIFY(b.avviatore.vede(insieme, 2));
        QVERIFY(a.avviatore.vede(insieme, 3));
        for (Lobby* l : {&a, &b}) {
            QCOMPARE(l->m->StanzaCorrente().Nome, "Stanza di ana e bea");
            QVERIFY(l->banco.dialoghi.messaggi.isEmpty());
        }
        // Left by both, Sala goes; the private room is never listed.
        QVERIFY(a.vedeStanze({"Piazza 0 / 5"}));

        // Closing the newest voice link ends the voice client on its other end.
        QTRY_COMPARE_WITH_TIMEOUT(a.m->IndiceWskVoice, qint16(3), kAttesa);
        a.m->FrmClient()->WSKVoice.Chiudi(a.m->IndiceWskVoice);
        QVERIFY(b.avviatore.vede({"grid|bea"}, 2));
    }

private:
    QTemporaryDir m_dir;
};

QTEST_MAIN(TestRoomsJourney)
#include "rooms_journey.moc"
