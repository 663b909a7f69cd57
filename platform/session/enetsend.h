#pragma once

#include <QByteArrayView>

#include <enet/enet.h>

namespace kalimo::session {

// Per-peer settings both ends apply once a peer is connected: dead peers are
// noticed after deadPeerMs and voice is never held back by ENet's throttle.
void configurePeer(ENetPeer* peer, int deadPeerMs);

class SessionSeal;

// Queues bytes to one peer on a channel; false when ENet refuses them.
bool sendToPeer(ENetPeer* peer, int channel, QByteArrayView bytes, enet_uint32 flags);
// The same sealed with `seal`, straight into ENet's packet.
bool sendSealedToPeer(ENetPeer* peer, int channel, SessionSeal& seal, QByteArrayView plain,
                      enet_uint32 flags);

} // namespace kalimo::session
