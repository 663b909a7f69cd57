#pragma once

#include "protocol/reassembler.h"
#include "protocol/requests.h"

#include <QHostAddress>
#include <QObject>
#include <QSslServer>
#include <QStringList>
#include <QTcpServer>

#include <functional>
#include <map>
#include <memory>
#include <optional>

class QTcpSocket;
class QTimer;

namespace kalimo::master {

// The room link's listener: room hosts connect, identify with "0001 " and
// then report their members with "0002 ".."0005 ". A link that sends
// anything else, or does not identify in time, is closed.
class RoomLink final : public QObject
{
    Q_OBJECT
public:
    static constexpr qsizetype kMessageCap = 16 * 1024;
    static constexpr int kMaxLinks = 4096;

    struct Identification : roomlink::Identification
    {
        QString peer; // the room host's address as this link sees it
    };
    // Returns the answer's code; anything but the acceptance closes the link.
    using IdentifyHandler = std::function<QStringView(quint64 link, const Identification&)>;

    explicit RoomLink(int identifyTimeoutMs, QObject* parent = nullptr);
    ~RoomLink() override;

    bool listen(const QHostAddress& address, quint16 port);
    bool isListening() const { return m_listener.isListening(); }
    quint16 port() const { return m_listener.serverPort(); }
    QString errorString() const { return m_listener.errorString(); }
    // The same link inside TLS, on a port of its own.
    bool listenTls(const QHostAddress& address, quint16 port, const QSslConfiguration& tls);
    quint16 tlsPort() const { return m_tlsListener.serverPort(); }
    QString tlsErrorString() const { return m_tlsListener.errorString(); }
    // Whether an identification in clear is taken from another machine.
    void setPlainFromAnywhere(bool allowed) { m_plainFromAnywhere = allowed; }

    void setIdentifyHandler(IdentifyHandler handler) { m_identify = std::move(handler); }
    // Orders the room host on `link` to end its room; the bytes leave at once.
    void orderEnd(quint64 link);
    void close(quint64 link, const QString& reason);

Q_SIGNALS:
    // A member report ("0002".."0005") of an identified link.
    void report(quint64 link, const roomlink::HostMessage& message);
    void closed(quint64 link);

private:
    struct Peer;

    void accept(QTcpServer& listener, bool tls);
    void readFrom(quint64 id);
    // False when the message closed the link.
    bool handle(Peer& p, const roomlink::HostMessage& m);
    bool identify(Peer& p, const roomlink::Identification& wire);
    void answer(Peer& p, QStringView code);

    QTcpServer m_listener;
    QSslServer m_tlsListener;
    bool m_plainFromAnywhere = false;
    int m_identifyTimeoutMs;
    IdentifyHandler m_identify;
    std::map<quint64, std::unique_ptr<Peer>> m_peers;
    quint64 m_nextId = 1;
};

} // namespace kalimo::master
