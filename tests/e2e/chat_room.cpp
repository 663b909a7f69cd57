#include "tests/support/processivoce.h"

#include <QTcpServer>

using namespace kalimo::test;

namespace {

// A loopback port nobody listens on: the voice clients' lobby link stays unanswered.
quint16 portaChiusa()
{
    QTcpServer s;
    return s.listen(QHostAddress::LocalHost, 0) ? s.serverPort() : 0;
}

} // namespace

class TestChatRoom final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void chatPubblicaEPrivata()
    {
        QTemporaryDir dir;
        QProcess stanza;
        const quint16 porta = avviaStanza(stanza, "name=Sala\nmax_users=3\npassword=pw\n");
        QVERIFY(porta);
        const quint16 lobby = portaChiusa();
        ProcessoVoce ana(dir, "Ana", porta, "pw", {}, lobby);
        QVERIFY(ana.vede("grid|Ana"));
        ProcessoVoce bea(dir, "Bea", porta, "pw", {}, lobby);
        for (ProcessoVoce* v : {&ana, &bea})
            QVERIFY(v->vede("grid|Ana,Bea"));

        // Bea's public window is still closed: Ana's first line never reaches it.
        ana.fa("chat-public primo");
        QVERIFY(ana.vede("chat|_ALL_|<Ana>  primo"));
        bea.fa("chat-public secondo");
        for (ProcessoVoce* v : {&ana, &bea})
            QVERIFY(v->vede("chat|_ALL_|<Bea>  secondo"));
        QVERIFY(!bea.righe().contains("chat|_ALL_|<Ana>  primo"));

        ana.fa("chat-private Bea ciao Bea");
        QVERIFY(bea.vede("chat|Ana|<Ana>  ciao Bea"));
        bea.fa("chat-private Ana ciao Ana");
        QVERIFY(ana.vede("chat|Bea|<Bea>  ciao Ana"));
        QVERIFY(bea.vede("chat|Ana|<Bea>  ciao Ana"));
        // Each sees both private lines, in order, in the window of the other.
        for (ProcessoVoce* v : {&ana, &bea}) {
            const QString altro = v == &ana ? "Bea" : "Ana";
            QCOMPARE(v->righe().filter("chat|" + altro + "|"),
                     QStringList({"chat|" + altro + "|<Ana>  ciao Bea",
                                  "chat|" + altro + "|<Bea>  ciao Ana"}));
        }

        ana.fa("close");
        QCOMPARE(ana.fine(), 0);
        bea.fa("close-window");
        QCOMPARE(bea.fine(), 0);
        stanza.kill();
        stanza.waitForFinished();
    }
};

QTEST_GUILESS_MAIN(TestChatRoom)
#include "chat_room.moc"
