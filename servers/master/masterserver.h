#pragma once

#include "protocol/reassembler.h"
#include "servers/master/brakes.h"
#include "servers/master/masterconfig.h"
#include "servers/master/presence.h"
#include "servers/master/ratewindow.h"
#include "servers/master/roomservice.h"
#include "servers/master/servicetables.h"

#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QSslServer>
#include <QTcpServer>
#include <QTimer>

#include <functional>
#include <map>
#include <memory>

class QTcpSocket;

namespace kalimo::master {

class AccountService;
enum class LoginCheck;
enum class StoreStatus;
enum class RegistrationOutcome;

// The lobby's master: one TCP listener, one reassembling reader per
// connection, account work handed to AccountService so the loop never
// waits on a hash or the disk.
class MasterServer final : public QObject
{
    Q_OBJECT
public:
    // A message that never ends is cut off here, and its connection closed.
    static constexpr qsizetype kMessageCap = 16 * 1024;
    // A client that asks and never reads is closed once this much waits
    // to be sent to it.
    static constexpr qint64 kUnsentCap = 1024 * 1024;
    // Private texts are cut here: the lobby types at most 250 characters.
    static constexpr qsizetype kPrivateTextCap = 1000;

    MasterServer(const MasterConfig& config, const QString& dataDir, QObject* parent = nullptr);
    ~MasterServer() override;

    // Also opens the room link and starts the permanent rooms; a link that
    // cannot listen leaves the master serving without rooms.
    bool listen();
    QString errorString() const { return m_error; }
    QHostAddress address() const
    {
        return m_listener.isListening() ? m_listener.serverAddress()
                                        : m_tlsListener.serverAddress();
    }
    // 0 for a port that is off.
    quint16 port() const { return m_listener.serverPort(); }
    quint16 tlsPort() const { return m_tlsListener.serverPort(); }

    void setCheckInterval(int ms);
    int connectionCount() const { return int(m_clients.size()); }
    qint64 refusalLogLines() const { return m_refusals.linesWritten(); }
    int loggedInCount() const { return m_presence.count(); }
    const QList<MasterEntry>& masterList() const { return m_masters; }
    RoomService& rooms() { return m_rooms; }
    void setClock(Clock clock);
    // This run's id in the service-wide tables.
    const QString& masterId() const { return m_masterId; }
    // Renewals of this master's row done so far.
    int renewals() const { return m_renewals; }

private:
    struct Client;

    void acceptConnections(QTcpServer& listener);
    // The certificate and key of the TLS ports; nothing, with m_error, when unusable.
    std::optional<QSslConfiguration> tlsConfiguration();
    bool listenTls();
    void readFrom(quint64 id);
    void handle(Client& c, const Request& r);
    void handleLogin(Client& c, const QStringList& params);
    void finishLogin(quint64 id, const QString& nick, LoginCheck result);
    void handleRegistration(Client& c, const QStringList& params);
    void finishRegistration(quint64 id, const QString& nick, RegistrationOutcome result);
    void handleCheckAnswer(Client& c, const QStringList& params);
    void handleLoggedIn(Client& c, const Request& r);
    void handleMasterRecord(Client& c, int index);
    void handleCreateRoom(Client& c, const RoomCreation& creation);
    void handlePresence(Client& c, const QString& nick);
    void handleTicket(Client& c, const QString& nome);
    void handleRoomPassword(Client& c, const QString& nome, const QString& typed);
    // A room's name as it is kept, and its password: this master's, or one
    // the user's last listing saw.
    std::optional<std::pair<QString, QString>> roomNamed(const Client& c,
                                                         const QString& nome) const;
    void handlePrivateText(Client& c, const QStringList& params);
    void notify(const QString& nick, QStringView code, const QStringList& fields);
    void checkClients();
    // Why a room may not be created from this connection now; empty: it may.
    QString creationBraked(const Client& c);

    // Service-wide: this master's row, other masters' events, the shared
    // room directory.
    bool isShared() const;
    void renew();
    void renewSoon();
    // Claims this master's users and rooms again after the others cleared them.
    void reclaim();
    // Masters of one database sign tickets with one secret: the rooms open
    // once it is known.
    void agreeOnLinkSecret();
    // Passes a reply to `nick` on to the master where it is online; `done`
    // (may be empty) learns Ok when one took it.
    void forward(const QString& nick, QStringView code, const QStringList& fields,
                 std::function<void(StoreStatus)> done);
    void onEvent(const QString& payload);
    void finishClaim(quint64 id, const QString& nick, StoreStatus result);
    void handleRoomListing(Client& c, const QString& code, int list, int index);
    void answerRoomListing(Client& c, const QString& code, int list, int index);
    void deliverText(quint64 from, const QString& sender, const QString& destination,
                     const QString& text, bool marked);
    RoomRow rowOf(const Room& r) const;

    void send(Client& c, QStringView code, const QStringList& fields = {});
    void refuse(Client& c, const QString& what, QStringView code);
    // Logs a refusal within the log's limits; too many close the connection.
    void refused(Client& c, const QString& what);
    void dropLater(Client& c, const QString& reason);
    void drop(quint64 id, const QString& reason);
    Client* find(quint64 id);

    MasterConfig m_config;
    QTcpServer m_listener;
    QSslServer m_tlsListener;
    QTimer m_checks;
    QTimer m_keepAlive;
    AccountService* m_accounts;
    Presence m_presence;
    Clock m_clock;
    QList<MasterEntry> m_masters;
    TlsEndpoint m_ownTls;
    std::map<quint64, std::unique_ptr<Client>> m_clients;
    quint64 m_nextId = 1;
    QString m_error;
    QString m_masterId;
    int m_renewals = 0; // the successful ones
    bool m_renewalRetry = false;
    int m_renewalDelayMs = 0;
    bool m_linkConfigured = false;
    bool m_linkAgreed = false;
    bool m_linkAsking = false;
    RefusalLog m_refusals;
    QHash<QString, int> m_perAddress; // open connections by address
    KeyedRate m_registrationsByAddress;
    LoginBrake m_loginBrake;
    KeyedRate m_creationsByAddress;
    KeyedRate m_passwordGuesses; // by nick and room
    // Last: its destructor ends the room hosts before anything else goes.
    RoomService m_rooms;
};

// A user name fit for a new account, or an empty text: trimmed, lower
// case, 3 to 20 characters, no control or invisible characters and no "+"
// (the voice client's command line is split at " + ").
QString normalisedNewNick(const QString& typed);

} // namespace kalimo::master
