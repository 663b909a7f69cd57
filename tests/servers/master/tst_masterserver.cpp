#include "masterclient.h"

#include "protocol/separators.h"
#include "servers/master/accountstore.h"
#include "servers/master/masterserver.h"

#include <QLoggingCategory>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <sodium.h>

using namespace kalimo;
using namespace kalimo::master;

namespace {
QByteArray wire(const char* ascii)
{
    // Test notation: '|' = SEP1, '^' = SEP2, '~' = SEP3.
    QByteArray b(ascii);
    b.replace('|', char(29)).replace('^', char(30)).replace('~', char(31));
    return b;
}
} // namespace

class TestMasterServer : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();

    void registration_data();
    void registration();
    void registrationStoresNormalisedNick();
    void loginOutcomes();
    void oneLoginPerNick();
    void maximumUsers();
    void masterList();
    void configuredMasterList();
    void limits();
    void requestsBeforeLogin();
    void presence();
    void privateTexts();
    void senderIsTheLoggedInNick();
    void malformedMessagesIgnored_data();
    void malformedMessagesIgnored();
    void neverEndingMessageCloses();
    void clientThatNeverReadsCloses();
    void splitAndJoinedArrivals();
    void vanishingClients();
    void silentClientDropped();
    void answeringClientStays();
    void wrongCheckAnswerDoesNotCount();
    void idleConnectionWithoutLoginClosed();
    void storeUnavailable();

private:
    MasterConfig baseConfig() const;
    void start(const MasterConfig& config);
    void start() { start(baseConfig()); }
    std::unique_ptr<MasterClient> client();
    std::unique_ptr<MasterClient> loggedIn(const QString& nick, const QString& password = "secret");
    void createAccount(const QString& nick, const QString& password = "secret");

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<MasterServer> m_server;
    QString m_dataDir;
};

MasterConfig TestMasterServer::baseConfig() const
{
    MasterConfig c;
    c.port = 0;
    c.hashOpsLimit = crypto_pwhash_OPSLIMIT_MIN;
    c.hashMemLimit = crypto_pwhash_MEMLIMIT_MIN;
    c.checkIntervalMs = 3600 * 1000; // checks only where a test asks for them
    return c;
}

void TestMasterServer::init()
{
    QLoggingCategory::setFilterRules(QStringLiteral("kalimo.master.info=false"));
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_dataDir = m_dir->filePath("data");
}

void TestMasterServer::cleanup()
{
    m_server.reset();
    m_dir.reset();
}

void TestMasterServer::start(const MasterConfig& config)
{
    m_server = std::make_unique<MasterServer>(config, m_dataDir);
    QVERIFY(m_server->listen());
    QVERIFY(m_server->port() != 0);
}

std::unique_ptr<MasterClient> TestMasterServer::client()
{
    auto c = std::make_unique<MasterClient>();
    if (!c->connectTo(m_server->port()))
        return nullptr;
    return c;
}

void TestMasterServer::createAccount(const QString& nick, const QString& password)
{
    auto c = client();
    QVERIFY(c);
    QCOMPARE(registerAccount(*c, nick, password), "00001");
}

std::unique_ptr<MasterClient> TestMasterServer::loggedIn(const QString& nick,
                                                         const QString& password)
{
    auto c = client();
    if (!c || login(*c, nick, password) != "00001")
        return nullptr;
    return c;
}

void TestMasterServer::registration_data()
{
    QTest::addColumn<QString>("nick");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("flag");
    QTest::addColumn<QString>("email");
    QTest::addColumn<QString>("expected");

    const QString mail = "someone@example.org";
    // "anna" / "secret" exists before every row.
    QTest::newRow("new") << "bruno"
                         << "pw1"
                         << "kalimo"
                         << "-1" << mail << "00001";
    QTest::newRow("name taken") << "anna"
                                << "other"
                                << "kalimo"
                                << "-1" << mail << "00002";
    QTest::newRow("name taken, other case") << " ANNA "
                                            << "x12"
                                            << "kalimo"
                                            << "-1" << mail << "00002";
    QTest::newRow("already registered") << "anna"
                                        << "secret"
                                        << "kalimo"
                                        << "0" << mail << "00005";
    QTest::newRow("registered, typed in capitals") << "Anna"
                                                   << "secret"
                                                   << "kalimo"
                                                   << "0"
                                                   << "short"
                                                   << "00005";
    QTest::newRow("registered, wrong password") << "anna"
                                                << "Secret"
                                                << "kalimo"
                                                << "0" << mail << "00004";
    QTest::newRow("registered, unknown name") << "carla"
                                              << "secret"
                                              << "kalimo"
                                              << "0" << mail << "00004";
    QTest::newRow("wrong master key") << "bruno"
                                      << "pw1"
                                      << "other"
                                      << "-1" << mail << "00004";
    QTest::newRow("unknown kind") << "bruno"
                                  << "pw1"
                                  << "kalimo"
                                  << "1" << mail << "00004";
    QTest::newRow("kind not a number") << "bruno"
                                       << "pw1"
                                       << "kalimo"
                                       << "si" << mail << "00004";
    QTest::newRow("name too short") << "bo"
                                    << "pw1"
                                    << "kalimo"
                                    << "-1" << mail << "00004";
    QTest::newRow("name too long") << QString(21, 'a') << "pw1"
                                   << "kalimo"
                                   << "-1" << mail << "00004";
    QTest::newRow("name of 20") << QString(20, 'a') << "pw1"
                                << "kalimo"
                                << "-1" << mail << "00001";
    QTest::newRow("name with plus") << "a+b"
                                    << "pw1"
                                    << "kalimo"
                                    << "-1" << mail << "00004";
    QTest::newRow("name with control") << QString("ab") + QChar(7) + "c"
                                       << "pw1"
                                       << "kalimo"
                                       << "-1" << mail << "00004";
    QTest::newRow("password too short") << "bruno"
                                        << "pw"
                                        << "kalimo"
                                        << "-1" << mail << "00004";
    QTest::newRow("e-mail of 9") << "bruno"
                                 << "pw1"
                                 << "kalimo"
                                 << "-1"
                                 << "a@b.c.def"
                                 << "00004";
    QTest::newRow("e-mail of 10") << "bruno"
                                  << "pw1"
                                  << "kalimo"
                                  << "-1"
                                  << "a@b.c.defg"
                                  << "00001";
    QTest::newRow("accented name") << "niccolò"
                                   << "pàss"
                                   << "kalimo"
                                   << "-1" << mail << "00001";
}

void TestMasterServer::registration()
{
    QFETCH(QString, nick);
    QFETCH(QString, password);
    QFETCH(QString, key);
    QFETCH(QString, flag);
    QFETCH(QString, email);
    QFETCH(QString, expected);
    start();
    createAccount("anna");
    auto c = client();
    QVERIFY(c);
    QCOMPARE(registerAccount(*c, nick, password, key, flag, email), expected);
    // The registration connection stays usable for another try.
    QVERIFY(c->isConnected());
    if (expected == "00001") {
        auto l = client();
        QCOMPARE(login(*l, nick.trimmed().toLower(), password), "00001");
    }
}

void TestMasterServer::registrationStoresNormalisedNick()
{
    start();
    auto c = client();
    QCOMPARE(registerAccount(*c, "  Mario ", "Pw-Caps"), "00001");
    auto l = client();
    QCOMPARE(login(*l, "Mario", "Pw-Caps"), "00002"); // nicks compare exactly
    QCOMPARE(login(*l, "mario", "pw-caps"), "00002"); // passwords keep their case
    QCOMPARE(login(*l, "mario", "Pw-Caps"), "00001");
}

void TestMasterServer::loginOutcomes()
{
    start();
    createAccount("anna");
    createAccount("bruno");
    {
        AccountStore store(m_dataDir);
        QCOMPARE(store.setEnabled("bruno", false), StoreStatus::Ok);
    }
    auto c = client();
    QCOMPARE(login(*c, "anna", "wrong"), "00002");
    QCOMPARE(login(*c, "nobody", "secret"), "00002");
    QCOMPARE(login(*c, "anna", "secret", "notthekey"), "00004");
    // Disabled shows only to who knows the password.
    QCOMPARE(login(*c, "bruno", "wrong"), "00002");
    QCOMPARE(login(*c, "bruno", "secret"), "00004");
    QCOMPARE(m_server->loggedInCount(), 0);

    c->request(u"0001", {"anna", "kalimo", "secret"});
    const auto accepted = c->next();
    QVERIFY(accepted);
    QCOMPARE(accepted->code, "00001");
    QCOMPARE(accepted->fields, QStringList({"", "5"}));
    QCOMPARE(m_server->loggedInCount(), 1);

    // A second login on the same connection is refused, whatever the nick.
    QCOMPARE(login(*c, "anna", "secret"), "00005");
    QCOMPARE(login(*c, "bruno", "secret"), "00005");
}

void TestMasterServer::oneLoginPerNick()
{
    start();
    createAccount("anna");
    auto first = loggedIn("anna");
    QVERIFY(first);
    auto second = client();
    QCOMPARE(login(*second, "anna", "secret"), "00005");
    // Two attempts racing through the password check: only one wins.
    auto a = client();
    auto b = client();
    first.reset();
    QTRY_COMPARE(m_server->loggedInCount(), 0);
    a->request(u"0001", {"anna", "kalimo", "secret"});
    b->request(u"0001", {"anna", "kalimo", "secret"});
    QStringList codes = {a->nextCode(), b->nextCode()};
    codes.sort();
    QCOMPARE(codes, QStringList({"00001", "00005"}));
    QCOMPARE(m_server->loggedInCount(), 1);
}

void TestMasterServer::maximumUsers()
{
    MasterConfig config = baseConfig();
    config.maxUsers = 2;
    start(config);
    for (const char* n : {"anna", "bruno", "carla"})
        createAccount(n);
    auto a = loggedIn("anna");
    auto b = loggedIn("bruno");
    QVERIFY(a && b);
    auto c = client();
    QCOMPARE(login(*c, "carla", "secret"), "00003");
    a->abort();
    QTRY_COMPARE(m_server->loggedInCount(), 1);
    QCOMPARE(login(*c, "carla", "secret"), "00001");
}

void TestMasterServer::masterList()
{
    start();
    createAccount("anna");
    auto c = loggedIn("anna");
    QVERIFY(c);
    c->request(u"0008");
    auto count = c->next();
    QVERIFY(count);
    QCOMPARE(count->code, "00008");
    QCOMPARE(count->fields, QStringList({"1"}));
    c->request(u"0009", {"1"});
    auto entry = c->next();
    QVERIFY(entry);
    QCOMPARE(entry->code, "00010");
    QCOMPARE(entry->fields,
             QStringList({"Locale", "127.0.0.1", QString::number(m_server->port()), "kalimo"}));
    QCOMPARE(c->replyTo(u"0009", {"0"}), "00011");
    QCOMPARE(c->replyTo(u"0009", {"2"}), "00011");
    QCOMPARE(c->replyTo(u"0009", {"-1"}), "00011");
}

void TestMasterServer::configuredMasterList()
{
    MasterConfig config = baseConfig();
    config.masters = {{"Uno", "10.0.0.1", 7070, "k1"}, {"Due", "host.example", 7171, "k2"}};
    start(config);
    createAccount("anna");
    auto c = loggedIn("anna");
    QVERIFY(c);
    c->request(u"0008");
    QCOMPARE(c->next()->fields, QStringList({"2"}));
    QList<QStringList> records;
    for (int i = 1; i <= 2; ++i) {
        c->request(u"0009", {QString::number(i)});
        const auto m = c->next();
        QVERIFY(m);
        QCOMPARE(m->code, "00010");
        records.append(m->fields);
    }
    QCOMPARE(records.at(0), QStringList({"Uno", "10.0.0.1", "7070", "k1"}));
    QCOMPARE(records.at(1), QStringList({"Due", "host.example", "7171", "k2"}));
    QCOMPARE(c->replyTo(u"0009", {"3"}), "00011");
}

void TestMasterServer::limits()
{
    MasterConfig config = baseConfig();
    config.maxUtentiStanza = 12;
    config.maxUtentiAudioStanza = 3;
    config.requiredVersion = "2.1";
    config.bannerAddress = "http://banner.example/a,b";
    config.bannerMinutes = 7;
    start(config);
    createAccount("anna");
    auto c = client();
    c->request(u"0001", {"anna", "kalimo", "secret"});
    const auto accepted = c->next();
    QVERIFY(accepted);
    QCOMPARE(accepted->fields, QStringList({"http://banner.example/a,b", "7"}));
    c->request(u"0011");
    const auto m = c->next();
    QVERIFY(m);
    QCOMPARE(m->code, "00012");
    QCOMPARE(m->fields, QStringList({"12", "3", "2.1"}));
}

void TestMasterServer::requestsBeforeLogin()
{
    start();
    createAccount("anna");
    auto c = client();
    // No reply is awaited for "0014 "; the next reply belongs to "0008 ".
    c->request(u"0014", {"whatever"});
    for (const char* code : {"0008", "0009", "0011", "0002", "0012"})
        QCOMPARE(c->replyTo(QString::fromLatin1(code), {"1"}), "00000");
    c->request(u"0013", {"anna", "ciao"});
    QCOMPARE(c->nextCode(), "00000");
    QVERIFY(c->isConnected());
    QCOMPARE(login(*c, "anna", "secret"), "00001");
}

void TestMasterServer::presence()
{
    start();
    createAccount("anna");
    createAccount("bruno");
    auto c = loggedIn("anna");
    QVERIFY(c);
    QCOMPARE(c->replyTo(u"0012", {"anna"}), "10012");
    QCOMPARE(c->replyTo(u"0012", {"bruno"}), "00012");
    QCOMPARE(c->replyTo(u"0012", {"zeno"}), "20012");
    QCOMPARE(c->replyTo(u"0012", {"Anna"}), "20012"); // nicks compare exactly
}

void TestMasterServer::privateTexts()
{
    MasterConfig config = baseConfig();
    config.privateTextsPerWindow = 5;
    start(config);
    qint64 now = 0;
    m_server->setClock([&now] { return now; });
    createAccount("anna");
    createAccount("bruno");
    auto anna = loggedIn("anna");
    auto bruno = loggedIn("bruno");
    QVERIFY(anna && bruno);
    using Fields = QStringList;
    auto expect = [](MasterClient& c, const char* code, const Fields& fields) {
        const auto m = c.next();
        return m && m->code == code && m->fields == fields;
    };

    // The sender is the connection's nick, whatever the message says.
    anna->request(u"0013", {"bruno", "ciao"}, "mallory");
    QVERIFY(expect(*bruno, "0002", {"anna", "ciao"}));
    QVERIFY(expect(*anna, "0003", {"bruno", "ciao"}));
    bruno->request(u"0013", {"anna", "ciao a te"});
    QVERIFY(expect(*anna, "0002", {"bruno", "ciao a te"}));
    QVERIFY(expect(*bruno, "0003", {"anna", "ciao a te"}));

    // A marker travels as the first character, and is not echoed; markers
    // anywhere else are taken out.
    const QString invitation = QChar(28) + QString(" L'utente anna ti ha invitato.\r\n Vuoi?");
    anna->request(u"0013", {"bruno", invitation + QChar(25)});
    QVERIFY(expect(*bruno, "0002", {"anna", invitation}));
    anna->request(u"0013", {"bruno", QString(3000, u'x')});
    QVERIFY(expect(*bruno, "0002", {"anna", QString(1000, u'x')}));
    QVERIFY(expect(*anna, "0003", {"bruno", QString(1000, u'x')}));

    anna->request(u"0013", {"carla", "ci sei?"});
    QVERIFY(expect(*anna, "0003", {"carla", "ci sei?"}));
    const auto offline = anna->next();
    QVERIFY(offline && offline->code == "0004" && offline->fields.value(0) == "carla");
    QVERIFY(offline->fields.value(1).contains("carla"));

    // Anna's fifth text of the window passes, the sixth is refused.
    anna->request(u"0013", {"bruno", "sei"});
    QVERIFY(expect(*bruno, "0002", {"anna", "sei"}));
    QVERIFY(expect(*anna, "0003", {"bruno", "sei"}));
    anna->request(u"0013", {"bruno", "sette"});
    const auto refused = anna->next();
    QVERIFY(refused && refused->code == "0004" && refused->fields.value(0) == "bruno");
    now += config.privateTextWindowMs;
    anna->request(u"0013", {"bruno", "dopo"});
    QVERIFY(expect(*bruno, "0002", {"anna", "dopo"}));
}

void TestMasterServer::senderIsTheLoggedInNick()
{
    start();
    createAccount("anna");
    auto c = client();
    // The nick written in the message is never trusted: the connection's is.
    c->request(u"0001", {"anna", "kalimo", "secret"}, "bruno");
    QCOMPARE(c->nextCode(), "00001");
    c->request(u"0008", {}, "someoneelse");
    QCOMPARE(c->nextCode(), "00008");
    // Another connection claiming to be anna is not logged in.
    auto other = client();
    other->request(u"0008", {}, "anna");
    QCOMPARE(other->nextCode(), "00000");
}

void TestMasterServer::malformedMessagesIgnored_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("one part") << wire("0008 |");
    QTest::newRow("two parts") << wire("0008 ^ No Parametri |");
    QTest::newRow("four parts") << wire("0008 ^ x ^ No Parametri ^ y |");
    QTest::newRow("unknown code") << wire("9999 ^ x ^ No Parametri |");
    QTest::newRow("reply code from a client") << wire("00001 ^ x ^ a ~ b |");
    QTest::newRow("empty code") << wire(" ^ x ^ No Parametri |");
    QTest::newRow("login, one field") << wire("0001 ^ anna ^ anna |");
    QTest::newRow("login, no parameters") << wire("0001 ^ anna ^ No Parametri |");
    QTest::newRow("registration, four fields") << wire("0010 ^ x ^ x ~ kalimo ~ pw1 ~ e |");
    QTest::newRow("only separators") << wire("|||^^^~~~|");
    QTest::newRow("bad utf-8") << QByteArray("\xff\xfe\xc3(^\x80^\x80|", 10);
    QTest::newRow("nul bytes")
        << QByteArray("0008\0^\0^\0|", 10).replace('^', char(30)).replace('|', char(29));
    QByteArray noise;
    for (int i = 0; i < 4096; ++i)
        noise.append(char((i * 7919 + 13) % 256 == 29 ? 0 : (i * 7919 + 13) % 256));
    noise.append(char(29));
    QTest::newRow("noise") << noise;
}

void TestMasterServer::malformedMessagesIgnored()
{
    QFETCH(QByteArray, bytes);
    start();
    createAccount("anna");
    auto c = loggedIn("anna");
    QVERIFY(c);
    c->sendRaw(bytes);
    // Also after login, requests with bad or missing fields are ignored.
    c->sendRaw(wire("0009 ^ anna ^ uno |0003 ^ anna ^ No Parametri |0004 ^ anna ^ 1 |"));
    c->sendRaw(wire("0013 ^ anna ^ bruno |0007 ^ anna ^ x ~ 2 |0012  ^ anna ^ No Parametri |"));
    // The next reply is the one to the valid request that follows.
    QCOMPARE(c->replyTo(u"0011"), "00012");
    QVERIFY(c->isConnected());
    QCOMPARE(c->queued(), 0);
}

void TestMasterServer::neverEndingMessageCloses()
{
    start();
    createAccount("anna");
    auto c = loggedIn("anna");
    QVERIFY(c);
    const QByteArray chunk(4096, 'x');
    for (int i = 0; i <= MasterServer::kMessageCap / chunk.size() + 1 && c->isConnected(); ++i)
        c->sendRaw(chunk);
    QVERIFY(c->waitClosed());
    QTRY_COMPARE(m_server->loggedInCount(), 0);
    // Its nick is free again.
    QVERIFY(loggedIn("anna"));
}

void TestMasterServer::clientThatNeverReadsCloses()
{
    start();
    createAccount("anna");
    auto c = loggedIn("anna");
    QVERIFY(c);
    c->socket().setReadBufferSize(1);
    // Each short request draws a longer reply; the replies pile up unread.
    const QByteArray one = wire("0013 ^ anna ^ bruno ~ x |");
    QByteArray many;
    for (int i = 0; i < 2000; ++i)
        many += one;
    for (int round = 0; round < 200 && c->isConnected(); ++round) {
        c->sendRaw(many);
        QCoreApplication::processEvents();
    }
    QTRY_COMPARE_WITH_TIMEOUT(m_server->loggedInCount(), 0, 60000);
    QCOMPARE(m_server->connectionCount(), 0);
}

void TestMasterServer::splitAndJoinedArrivals()
{
    start();
    createAccount("anna");
    auto c = client();
    // A login cut into single bytes, each its own arrival.
    const QByteArray request = wire("0001 ^ anna ^ anna ~ kalimo ~ secret | ");
    for (char byte : request) {
        c->sendRaw(QByteArray(1, byte));
        QCoreApplication::processEvents();
    }
    QCOMPARE(c->nextCode(), "00001");
    // Three requests in one arrival are answered in order.
    c->sendRaw(wire("0008 ^ anna ^ No Parametri | 0009 ^ anna ^ 1 | 0009 ^ anna ^ 5 | "));
    QCOMPARE(c->nextCode(), "00008");
    QCOMPARE(c->nextCode(), "00010");
    QCOMPARE(c->nextCode(), "00011");
    // The tail of one arrival completed by the next.
    c->sendRaw(wire("0011 ^ anna ^ No Par"));
    QCoreApplication::processEvents();
    c->sendRaw(wire("ametri | 0008 ^ an"));
    QCoreApplication::processEvents();
    c->sendRaw(wire("na ^ No Parametri |"));
    QCOMPARE(c->nextCode(), "00012");
    QCOMPARE(c->nextCode(), "00008");
}

void TestMasterServer::vanishingClients()
{
    start();
    createAccount("anna");
    createAccount("bruno");
    auto a = loggedIn("anna");
    QVERIFY(a);
    a->abort();
    QTRY_COMPARE(m_server->loggedInCount(), 0);
    QTRY_COMPARE(m_server->connectionCount(), 0);
    // Gone while its password was being checked: the answer finds nobody.
    auto b = client();
    b->request(u"0001", {"bruno", "kalimo", "secret"});
    b->abort();
    auto r = client();
    b.reset();
    r->request(u"0010", {"carla", "kalimo", "pw1", "carla@example.org", "-1"});
    r->abort();
    QTRY_COMPARE(m_server->connectionCount(), 0);
    QCOMPARE(m_server->loggedInCount(), 0);
    QVERIFY(loggedIn("bruno"));
}

void TestMasterServer::silentClientDropped()
{
    start();
    createAccount("anna");
    auto silent = loggedIn("anna");
    QVERIFY(silent);
    m_server->setCheckInterval(20);
    QVERIFY(silent->waitClosed());
    QCOMPARE(silent->checksSeen(), 2);
    QCOMPARE(m_server->loggedInCount(), 0);
    QVERIFY(loggedIn("anna"));
}

void TestMasterServer::answeringClientStays()
{
    start();
    createAccount("anna");
    auto lobby = loggedIn("anna");
    QVERIFY(lobby);
    lobby->setAnswerChecks(true);
    m_server->setCheckInterval(10);
    QTRY_VERIFY_WITH_TIMEOUT(lobby->checksSeen() >= 8, 20000);
    QVERIFY(lobby->isConnected());
    QCOMPARE(m_server->loggedInCount(), 1);
    // Every check carries a token of its own.
    const QStringList tokens = lobby->checkTokens();
    QCOMPARE(QSet<QString>(tokens.begin(), tokens.end()).size(), tokens.size());
    // Checks never take the reply slot.
    QCOMPARE(lobby->queued(), 0);
}

void TestMasterServer::wrongCheckAnswerDoesNotCount()
{
    start();
    createAccount("anna");
    auto lobby = loggedIn("anna");
    QVERIFY(lobby);
    connect(&lobby->socket(), &QTcpSocket::readyRead, lobby.get(),
            [&] { lobby->request(u"0014", {"not-the-token"}); });
    m_server->setCheckInterval(20);
    QVERIFY(lobby->waitClosed());
    QCOMPARE(m_server->loggedInCount(), 0);
}

void TestMasterServer::idleConnectionWithoutLoginClosed()
{
    start();
    createAccount("anna");
    auto idle = client();
    auto lobby = loggedIn("anna");
    QVERIFY(idle && lobby);
    lobby->setAnswerChecks(true);
    m_server->setCheckInterval(20);
    QVERIFY(idle->waitClosed());
    QVERIFY(lobby->isConnected());
    QCOMPARE(m_server->connectionCount(), 1);
}

void TestMasterServer::storeUnavailable()
{
    // A data "folder" that is a file: the accounts cannot open.
    QFile blocker(m_dataDir);
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    start();
    auto c = client();
    QCOMPARE(login(*c, "anna", "secret"), "00006");
    QCOMPARE(registerAccount(*c, "anna", "secret"), "00003");
    QCOMPARE(registerAccount(*c, "anna", "secret", "kalimo", "0"), "00003");
    // The service comes back with its folder, without a restart.
    QVERIFY(QFile::remove(m_dataDir));
    QCOMPARE(registerAccount(*c, "anna", "secret"), "00001");
    QCOMPARE(login(*c, "anna", "secret"), "00001");
}

QTEST_GUILESS_MAIN(TestMasterServer)
#include "tst_masterserver.moc"
