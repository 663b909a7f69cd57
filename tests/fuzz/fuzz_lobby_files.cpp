// The lobby's settings files from its program folder: User.ini, Masters.txt (and its old copy)
// and CntLst.klm, each any bytes. Input: the four files' contents, 0x00 between them.
#include "lobby/module1.h"
#include "tests/fuzz/fuzzinput.h"
#include "tests/support/fakedialoghi.h"

#include <QFile>

using namespace kalimo;
using namespace kalimo::lobby;

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    fuzz::startWidgets(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QList<QByteArray> parts = fuzz::arrivals(data, size);
    const QString names[] = {QStringLiteral("User.ini"), QStringLiteral("Masters.txt"),
                             QStringLiteral("Masters.old.txt"), QStringLiteral("CntLst.klm")};
    for (int i = 0; i < 4; ++i) {
        QFile f(fuzz::scratch() + u'/' + names[i]);
        if (i >= parts.size()) {
            f.remove();
        } else if (f.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
            f.write(parts.at(i));
        }
    }
    test::FakeDialoghi dialoghi;
    Module1 m(Servizi{.dialoghi = &dialoghi}, fuzz::scratch());
    (void)m.LeggiUserIni();
    (void)m.CaricaMasters();
    (void)m.CaricaMastersOld();
    m.CaricaContactList();
    (void)m.EstInContactList(m.UtenteCorrente.NickName);
    return 0;
}
