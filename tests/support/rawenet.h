#pragma once

#include "platform/session/seal.h"
#include "platform/session/sessiontypes.h"
#include "platform/session/wire.h"

#include <QTest>
#include <QTimer>

#include <enet/enet.h>

#include <optional>

namespace kalimo::test {

// A bare ENet end driven by the test itself, to play a broken, hostile or crashing member.
class RawEnet final
{
public:
    RawEnet()
    {
        enet_initialize();
        m_host = enet_host_create(nullptr, 1, session::wire::kChannelCount, 0, 0);
        m_timer.callOnTimeout([this] { service(); });
        m_timer.start(5);
    }
    ~RawEnet() { vanish(); }

    // With the enumeration answer's cookie, as a real client.
    bool connect(quint16 port)
    {
        const auto data = cookie(port);
        if (data)
            startConnect(port, *data);
        return data && wait([this] { return connected || disconnected; }) && connected;
    }
    // What the host's enumeration answer gives this address to connect with.
    std::optional<enet_uint32> cookie(quint16 port)
    {
        ENetAddress a{ENET_HOST_TO_NET_32(0x7f000001u), port};
        m_answer.reset();
        const QByteArray query = session::wire::enumQuery(session::roomApplicationGuid());
        ENetBuffer b{const_cast<char*>(query.constData()), size_t(query.size())};
        // Asked again now and then, as a real client does: a query may be lost.
        QTimer again;
        again.callOnTimeout([&] { enet_socket_send(m_host->socket, &a, &b, 1); });
        again.start(200);
        enet_socket_send(m_host->socket, &a, &b, 1);
        return wait([this] { return m_answer.has_value(); }) ? std::optional(m_answer->cookie)
                                                             : std::nullopt;
    }
    void startConnect(quint16 port, enet_uint32 data)
    {
        ENetAddress a{ENET_HOST_TO_NET_32(0x7f000001u), port};
        m_peer = enet_host_connect(m_host, &a, session::wire::kChannelCount, data);
        enet_host_flush(m_host);
    }
    // Connects and says a sealed hello to the announced key; the id, 0 if refused.
    qint32 join(quint16 port, const QString& name)
    {
        if (connect(port)) {
            const session::HostKeys mine = session::HostKeys::generate();
            // The cipher every host takes.
            seal = session::SessionSeal::member(m_answer->hostKey, mine.publicKey, mine.secretKey);
            const QByteArray hello =
                session::wire::hello({session::roomApplicationGuid(), name, QString(), QString()});
            if (seal)
                send(session::wire::kChannelControl,
                     session::wire::sealedHello(
                         {session::SessionSeal::ChaCha20, mine.publicKey,
                          seal->seal(session::wire::kChannelControl, hello)}));
        }
        (void)wait([this] { return welcomed != 0 || disconnected; });
        return welcomed;
    }
    void send(int channel, const QByteArray& bytes, enet_uint32 flags = ENET_PACKET_FLAG_RELIABLE)
    {
        ENetPacket* p = enet_packet_create(bytes.constData(), size_t(bytes.size()), flags);
        if (enet_peer_send(m_peer, quint8(channel), p) != 0)
            enet_packet_destroy(p);
        enet_host_flush(m_host);
    }
    // Gone without a word, as a crashed program would be.
    void vanish()
    {
        if (m_host)
            enet_host_destroy(m_host);
        m_host = nullptr;
        m_timer.stop();
    }

    bool connected = false;
    bool disconnected = false;
    enet_uint32 disconnectData = 0;
    qint32 welcomed = 0;                      // the id a host's welcome gave us
    std::optional<session::SessionSeal> seal; // the hello's, as a member would seal

private:
    static bool wait(const std::function<bool()>& done) { return QTest::qWaitFor(done, 15000); }
    // The host's enumeration answer, caught before ENet takes it for junk.
    static int intercept(ENetHost* host, ENetEvent*)
    {
        const QByteArrayView d(host->receivedData, qsizetype(host->receivedDataLength));
        if (!session::wire::looksLikeEnumeration(d) || !tServicing)
            return 0;
        if (auto answer = session::wire::parseEnumAnswer(d))
            tServicing->m_answer = answer;
        return 1;
    }
    void service()
    {
        ENetEvent e;
        tServicing = this;
        if (m_host)
            m_host->intercept = &RawEnet::intercept;
        while (m_host && enet_host_service(m_host, &e, 0) > 0) {
            if (e.type == ENET_EVENT_TYPE_CONNECT) {
                m_peer = e.peer;
                connected = true;
            } else if (e.type == ENET_EVENT_TYPE_DISCONNECT) {
                disconnected = true;
                disconnectData = e.data;
            } else if (e.type == ENET_EVENT_TYPE_RECEIVE) {
                const QByteArray bytes(reinterpret_cast<const char*>(e.packet->data),
                                       qsizetype(e.packet->dataLength));
                enet_packet_destroy(e.packet);
                QByteArray plain;
                if (seal &&
                    seal->open(e.channelID, bytes, &plain) == session::SessionSeal::Verdict::Opened)
                    welcomed = session::wire::parseWelcome(plain).value_or(welcomed);
            }
        }
        tServicing = nullptr;
    }

    static inline thread_local RawEnet* tServicing = nullptr;
    std::optional<session::wire::EnumAnswer> m_answer;

    ENetHost* m_host = nullptr;
    ENetPeer* m_peer = nullptr;
    QTimer m_timer;
};

} // namespace kalimo::test
