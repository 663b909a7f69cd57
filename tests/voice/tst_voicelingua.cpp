#include "platform/desktop/lingua.h"
#include "platform/voiceengine/syntheticaudiobackend.h"
#include "tests/support/bancovoce.h"
#include "tests/support/didascalie.h"
#include "voice/frmchat.h"
#include "voice/frmimpostaaudio.h"

#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>

using namespace kalimo;
using namespace kalimo::test;

// Every caption and grid cell of the voice client's windows shows whole in the
// locale's language: CTest runs this with LANG=it_IT.UTF-8 and LANG=en_US.UTF-8.
class TestVoiceLingua final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void testiInteri()
    {
        const bool inglese = qEnvironmentVariable("LANG").startsWith("en");
        QCOMPARE(installaTraduzione(), inglese ? "en" : "it");
        Banco b;
        QVERIFY(b.avvia());
        b.arriva("0002 ^ Ana ~ 3 | 0002 ^ Massimiliano_99 ~ 7 | 0004 ^ 7 ~ true |");
        b.f().chat().ApriChatPubblica();
        b.f().chat().ApriChatPrivata("Massimiliano_99");
        QTemporaryDir cartella;
        SyntheticAudioBackend backend;
        voce::frmImpostaAudio audio(backend, AudioSettings::atFile(cartella.filePath("a.ini")),
                                    b.dialoghi);
        for (QWidget* w : QList<QWidget*>{&b.f(), b.f().chat().ChatPubblica(),
                                          b.f().chat().ChatPrivata("Massimiliano_99"), &audio}) {
            QVERIFY(w);
            const QStringList tagliati = testiTagliati(w);
            QVERIFY2(tagliati.isEmpty(), qPrintable(tagliati.join("; ")));
        }
        // Qt's own measure of the widest cell of each column; column 0 is hidden on purpose.
        auto* tabella = b.w<QTableWidget>("grdUtenti");
        QCOMPARE(tabella->rowCount(), 3);
        for (int c = 1; c < tabella->columnCount(); ++c)
            QVERIFY(static_cast<QAbstractItemView*>(tabella)->sizeHintForColumn(c) <=
                    tabella->columnWidth(c));
    }
};

QTEST_MAIN(TestVoiceLingua)
#include "tst_voicelingua.moc"
