#include "tests/support/fakedialoghi.h"
#include "voice/frmchat.h"
#include "voice/module1.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTest>

using namespace kalimo;

namespace {

// $ | ~ stand for SEP1, SEP2, SEP3.
QString wire(QString t)
{
    return t.replace('$', QChar(29)).replace('|', QChar(30)).replace('~', QChar(31));
}

QStringList righe(const frmChat* f)
{
    return f ? f->Trascrizione().split('\n', Qt::SkipEmptyParts) : QStringList{"(none)"};
}

template <class T = QPushButton> T* w(QWidget* f, const char* nome)
{
    return f->findChild<T*>(nome);
}

void scrivi(frmChat* f, const QString& testo, bool invio)
{
    w<QLineEdit>(f, "txtTesto")->setText(testo);
    if (invio)
        QTest::keyClick(w<QLineEdit>(f, "txtTesto"), Qt::Key_Return);
    else
        w(f, "cmdInvia")->click();
}

struct Banco
{
    Banco() : modulo(ServiziVoce{&dialoghi, {}, {}, {}, {}})
    {
        modulo.UtenteLocale.NickName = "ana";
    }
    test::FakeDialoghi dialoghi;
    Module1 modulo;
    QStringList inviati;
    ChatStanza chat{modulo, [this](const QString& m) { inviati << m; }};
};

} // namespace

class TestChatStanza final : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void pubblica()
    {
        Banco b;
        ChatStanza& c = b.chat;
        c.RigaPubblica("bruno", "persa");
        QVERIFY(!c.ChatPubblica());

        c.ApriChatPubblica();
        frmChat* f = c.ChatPubblica();
        QVERIFY(f->isVisible() && c.ChatPubblicaAperta);
        QCOMPARE(f->windowTitle(), "Chat Pubblica della Stanza");
        QVERIFY(w(f, "cmdIgnora")->isHidden());
        scrivi(f, QString("ciao") + QChar(29) + " a tutti", true);
        scrivi(f, "", false);
        QCOMPARE(b.inviati, QStringList{wire("0002 | ana | ana ~ ciao a tutti $ ")});
        QVERIFY(w<QLineEdit>(f, "txtTesto")->text().isEmpty());

        // Hidden, lines keep arriving; closed, they are lost and the history goes.
        w(f, "cmdNascondi")->click();
        c.RigaPubblica("bruno", "uno");
        QCOMPARE(righe(f), QStringList{"<bruno>  uno"});
        w(f, "cmdChiudi")->click();
        QVERIFY(!c.ChatPubblicaAperta);
        c.RigaPubblica("bruno", "due");
        c.ApriChatPubblica();
        QCOMPARE(c.ChatPubblica(), f);
        QVERIFY(f->Trascrizione().isEmpty());
    }

    void private_()
    {
        Banco b;
        ChatStanza& c = b.chat;
        Stanza& stanza = b.modulo.StanzaCorrente();
        stanza.MaxUtenti = 10;
        for (const char* nick : {"ana", "bruno", "carla", "dario"})
            stanza.AggiungiUtente(stanza.NumUtenti() + 1, nick, "");
        stanza.IgnoraUtente("carla");
        c.RigaPrivata("carla", "ignorata");
        c.ApriChatPrivata("ana"); // oneself
        QCOMPARE(c.numeroChatPrivate(), 0);

        c.RigaPrivata("bruno", "ciao");
        frmChat* f = c.ChatPrivata("bruno");
        QVERIFY(f && f->isVisible());
        QCOMPARE(f->windowTitle(), "Collegato con bruno");
        scrivi(f, "come va", false);
        QCOMPARE(b.inviati, QStringList{wire("0003 | ana | ana ~ bruno ~ come va $ ")});
        c.RigaPropria("bruno", "come va");
        w(f, "cmdNascondi")->click();
        w(f, "cmdIgnora")->click();
        QVERIFY(stanza.EstUtenteIgnorato("bruno"));
        // An open window still shows an ignored sender, and comes back when hidden.
        c.RigaPrivata("bruno", "bene");
        QVERIFY(f->isVisible());
        QCOMPARE(righe(f), QStringList({"<bruno>  ciao", "<ana>  come va", "<bruno>  bene"}));
        f->hide();
        c.ApriChatPrivata("bruno");
        QVERIFY(f->isVisible() && !stanza.EstUtenteIgnorato("bruno"));
        QCOMPARE(c.numeroChatPrivate(), 1);

        // Closed: its slot is free, the own echo has nowhere to go, and the
        // next open unloads it.
        w(f, "cmdChiudi")->click();
        QCOMPARE(f->SetTarget(), "");
        c.RigaPropria("bruno", "perso");
        c.RigaPrivata("bruno", "di nuovo");
        QCOMPARE(righe(c.ChatPrivata("bruno")), QStringList{"<bruno>  di nuovo"});
        QPointer<frmChat> chiusa = f;
        c.ApriChatPrivata("dario");
        QTRY_VERIFY(!chiusa);
        QCOMPARE(c.numeroChatPrivate(), 2);

        c.ScaricaTutte();
        QCOMPARE(c.numeroChatPrivate(), 0);
        c.RigaPubblica("bruno", "dopo");
        c.RigaPropria("dario", "dopo");
        QVERIFY(b.dialoghi.messaggi.isEmpty());
    }
};

QTEST_MAIN(TestChatStanza)
#include "tst_chatstanza.moc"
