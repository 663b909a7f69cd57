#include "tests/support/fakedialoghi.h"
#include "tests/support/wire.h"
#include "voice/frmchat.h"
#include "voice/module1.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTest>

using namespace kalimo;
using namespace kalimo::voce;

namespace {

QStringList righe(const frmChat* f)
{
    return f ? f->Trascrizione().split('\n', Qt::SkipEmptyParts) : QStringList{"(none)"};
}
void clic(QWidget* f, const char* nome)
{
    f->findChild<QPushButton*>(nome)->click();
}

// The room's chat windows for "ana", in a room with bruno, carla and dario.
struct Banco
{
    Banco()
    {
        modulo.UtenteLocale.NickName = "ana";
        stanza.MaxUtenti = 10;
        for (const char* nick : {"ana", "bruno", "carla", "dario"})
            stanza.AggiungiUtente(stanza.NumUtenti() + 1, nick, "");
    }
    test::FakeDialoghi dialoghi;
    Module1 modulo{ServiziVoce{&dialoghi, {}, {}, {}, {}}};
    Stanza& stanza = modulo.StanzaCorrente();
    QStringList inviati;
    ChatStanza c{modulo, [this](const QString& m) { inviati << m; }};
};

} // namespace

class TestChatStanza final : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void pubblica()
    {
        Banco b;
        b.c.RigaPubblica("bruno", "persa");
        b.c.ApriChatPubblica();
        frmChat* f = b.c.ChatPubblica();
        QVERIFY(f->isVisible());
        auto* testo = f->findChild<QLineEdit*>("txtTesto");
        testo->setText(QString("ciao") + SEP1 + " a tutti");
        QTest::keyClick(testo, Qt::Key_Return);
        clic(f, "cmdInvia"); // empty: nothing
        QCOMPARE(b.inviati, QStringList{test::wire("0002 ^ ana ^ ana ~ ciao a tutti | ")});

        // Hidden, lines keep arriving; closed, they are lost and the history goes.
        clic(f, "cmdNascondi");
        b.c.RigaPubblica("bruno", "uno");
        QCOMPARE(righe(f), QStringList{"<bruno>  uno"});
        clic(f, "cmdChiudi");
        b.c.RigaPubblica("bruno", "due");
        b.c.ApriChatPubblica();
        QVERIFY(b.c.ChatPubblica() == f && f->Trascrizione().isEmpty());

        b.c.InviaTestoPrivato("bruno", "x");
        QCOMPARE(b.inviati.last(), test::wire("0003 ^ ana ^ ana ~ bruno ~ x | "));
    }

    void private_()
    {
        Banco b;
        b.stanza.IgnoraUtente("carla");
        b.c.RigaPrivata("carla", "ignorata");
        b.c.ApriChatPrivata("ana"); // oneself
        QCOMPARE(b.c.numeroChatPrivate(), 0);

        b.c.RigaPrivata("bruno", "ciao");
        frmChat* f = b.c.ChatPrivata("bruno");
        QVERIFY(f && f->isVisible());
        b.c.RigaPropria("bruno", "come va");
        clic(f, "cmdNascondi");
        clic(f, "cmdIgnora");
        QVERIFY(b.stanza.EstUtenteIgnorato("bruno"));
        // An open window still shows an ignored sender, and comes back when hidden.
        b.c.RigaPrivata("bruno", "bene");
        QVERIFY(f->isVisible());
        QCOMPARE(righe(f), QStringList({"<bruno>  ciao", "<ana>  come va", "<bruno>  bene"}));
        f->hide();
        b.c.ApriChatPrivata("bruno");
        QVERIFY(f->isVisible() && !b.stanza.EstUtenteIgnorato("bruno"));
        QCOMPARE(b.c.numeroChatPrivate(), 1);

        // Closed: its slot is free, the own echo has nowhere to go, the next open unloads it.
        clic(f, "cmdChiudi");
        b.c.RigaPropria("bruno", "perso");
        b.c.RigaPrivata("bruno", "di nuovo");
        QCOMPARE(righe(b.c.ChatPrivata("bruno")), QStringList{"<bruno>  di nuovo"});
        QPointer<frmChat> chiusa = f;
        b.c.ApriChatPrivata("dario");
        QTRY_VERIFY(!chiusa);
        QCOMPARE(b.c.numeroChatPrivate(), 2);

        b.c.ScaricaTutte();
        QCOMPARE(b.c.numeroChatPrivate(), 0);
        b.c.RigaPubblica("bruno", "dopo");
        b.c.RigaPropria("dario", "dopo");
    }
};

QTEST_MAIN(TestChatStanza)
#include "tst_chatstanza.moc"
