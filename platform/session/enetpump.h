#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <enet/enet.h>

#include <functional>
#include <optional>
#include <vector>

class QSocketNotifier;
class QTimer;

namespace kalimo::session {

// One ENet host driven from the thread it lives on: a notifier on its socket
// and, while it has peers, a short timer both call service(), which runs ENet with no wait until
// it has nothing more to report. Enumeration datagrams are taken out of
// ENet's hands by its intercept hook and handed over separately.
class EnetPump final : public QObject
{
    Q_OBJECT

public:
    struct Datagram
    {
        ENetAddress from{};
        QByteArray bytes;
    };
    using EventHandler = std::function<void(const ENetEvent&)>;
    using DatagramHandler = std::function<void(const Datagram&)>;
    // Decides on a datagram that opens an ENet connect (with its connect
    // data) before ENet spends a peer or a reply on it; false drops it.
    using ConnectGate = std::function<bool(const ENetAddress& from, enet_uint32 data)>;

    // Null with *error set when ENet cannot start or the address cannot be
    // bound. bindTo null: any local port, chosen at the first send.
    static EnetPump* create(const ENetAddress* bindTo, size_t peerCount, int pumpMs,
                            EventHandler onEvent, DatagramHandler onDatagram, QString* error);

    ENetHost* host() const { return m_host; }
    void setConnectGate(ConnectGate gate) { m_gate = std::move(gate); }
    quint16 boundPort() const;

    void service();
    bool sendDatagram(const ENetAddress& to, QByteArrayView bytes);
    void flush();

    // Ends the ENet host at once (no more handlers run) and frees the pump at
    // the next safe moment; the caller must forget its pointer.
    void dispose();

private:
    EnetPump(ENetHost* host, int pumpMs, EventHandler onEvent, DatagramHandler onDatagram);
    ~EnetPump() override;
    void destroyHost();
    void tickWhileBusy();
    static int intercept(ENetHost* host, ENetEvent* event);

    ENetHost* m_host = nullptr;
    EventHandler m_onEvent;
    DatagramHandler m_onDatagram;
    ConnectGate m_gate;
    QSocketNotifier* m_notifier = nullptr;
    QTimer* m_timer = nullptr;
    std::vector<Datagram> m_intercepted;
    int m_depth = 0;
};

// The connect data of a datagram that opens an ENet connect; nothing for
// any other datagram.
std::optional<enet_uint32> connectDataOf(QByteArrayView datagram);

// Fills *out from a dotted IPv4 text; false when it is not one.
bool enetAddressFromIp(const QString& ip, quint16 port, ENetAddress* out);
bool sameAddress(const ENetAddress& a, const ENetAddress& b);

} // namespace kalimo::session
