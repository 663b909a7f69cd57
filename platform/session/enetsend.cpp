#include "platform/session/enetsend.h"

#include "platform/session/seal.h"

namespace kalimo::session {

void configurePeer(ENetPeer* peer, int deadPeerMs)
{
    const auto ms = static_cast<enet_uint32>(qMax(100, deadPeerMs));
    enet_peer_timeout(peer, 0, ms, ms);
    // Full acceleration and no deceleration keep the throttle at its scale,
    // so unsequenced voice is never dropped by the sender.
    enet_peer_throttle_configure(peer, ENET_PEER_PACKET_THROTTLE_INTERVAL,
                                 ENET_PEER_PACKET_THROTTLE_SCALE, 0);
}

namespace {

bool queue(ENetPeer* peer, int channel, ENetPacket* packet)
{
    if (!packet)
        return false;
    if (enet_peer_send(peer, static_cast<enet_uint8>(channel), packet) < 0) {
        enet_packet_destroy(packet);
        return false;
    }
    return true;
}

} // namespace

bool sendToPeer(ENetPeer* peer, int channel, QByteArrayView bytes, enet_uint32 flags)
{
    if (!peer || peer->state != ENET_PEER_STATE_CONNECTED)
        return false;
    return queue(peer, channel,
                 enet_packet_create(bytes.data(), static_cast<size_t>(bytes.size()), flags));
}

bool sendSealedToPeer(ENetPeer* peer, int channel, SessionSeal& seal, QByteArrayView plain,
                      enet_uint32 flags)
{
    if (!peer || peer->state != ENET_PEER_STATE_CONNECTED)
        return false;
    ENetPacket* packet = enet_packet_create(
        nullptr, static_cast<size_t>(plain.size() + SessionSeal::kOverhead), flags);
    if (packet)
        seal.sealInto(channel, plain, packet->data);
    return queue(peer, channel, packet);
}

} // namespace kalimo::session
