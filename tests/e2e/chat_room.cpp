#include "tests/support/processivoce.h"

#include <QTcpServer>

using kalimo::test::ClienteVoce;
using kalimo::test::kAttesaProcessi;

namespace {

// The lobby link goes to a port nobody listens on.
QHash<QString, QString> senzaLobby()
{
    QTcpServer chiusa;
    chiusa.listen(QHostAddress::LocalHost, 0);
    return {{"KALIMO_VOICE_LINK_PORT", QString::number(chiusa.serverPort())},
            {"KALIMO_TEST_INTERVALS", "pause=20"}};
}

struct Voce : ClienteVoce
{
    Voce(QTemporaryDir& dir, const QString& nick, quint16 porta)
        : ClienteVoce(dir, nick, porta, {}, 0, {}, senzaLobby())
    {
    }
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
        const quint16 porta = kalimo::test::avviaStanza(stanza, "name=Sala\nmax_users=3\n");
        QVERIFY(porta);
        Voce ana(dir, "Ana", porta);
        QVERIFY(ana.vede("grid|Ana"));
        Voce bea(dir, "Bea", porta);
        for (Voce* v : {&ana, &bea})
            QVERIFY(v->vede("grid|Ana,Bea"));

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

        // Bea's public window is not open yet: Ana's first line never reaches it. Ana's next
        // private line comes after it in order, so once Bea has that one, the first was handled.
        ana.fa("chat-public primo");
        QVERIFY(ana.vede("chat|_ALL_|<Ana>  primo"));
        ana.fa("chat-private Bea dopo");
        QVERIFY(bea.vede("chat|Ana|<Ana>  dopo"));
        bea.fa("chat-public secondo");
        for (Voce* v : {&ana, &bea})
            QVERIFY(v->vede("chat|_ALL_|<Bea>  secondo"));
        QVERIFY(!bea.righe().contains("chat|_ALL_|<Ana>  primo"));

        ana.fa("close");
        bea.fa("close-window");
        for (Voce* v : {&ana, &bea})
            QVERIFY(v->p.waitForFinished(kAttesaProcessi) && v->p.exitCode() == 0);
        stanza.kill();
        stanza.waitForFinished();
    }
};

QTEST_GUILESS_MAIN(TestChatRoom)
#include "chat_room.moc"
