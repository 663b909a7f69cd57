#pragma once

#include <QStringView>

// Every code of every protocol of ours, by name. Requests are four digits
// (without the blank that follows them on the wire), replies five.

namespace kalimo::master {

// Lobby to master.
namespace request {
inline constexpr QStringView Login = u"0001";
inline constexpr QStringView RoomListCount = u"0002";
inline constexpr QStringView RoomCount = u"0003";
inline constexpr QStringView RoomRecord = u"0004";
inline constexpr QStringView RoomPassword = u"0005";
inline constexpr QStringView RoomTicket = u"0006";
inline constexpr QStringView CreateRoom = u"0007";
inline constexpr QStringView MasterCount = u"0008";
inline constexpr QStringView MasterRecord = u"0009";
inline constexpr QStringView Register = u"0010";
inline constexpr QStringView Limits = u"0011";
inline constexpr QStringView Presence = u"0012";
inline constexpr QStringView PrivateText = u"0013";
inline constexpr QStringView CheckAnswer = u"0014";
} // namespace request

namespace login {
inline constexpr QStringView Accepted = u"00001";
inline constexpr QStringView WrongCredentials = u"00002";
inline constexpr QStringView Full = u"00003";
inline constexpr QStringView NotEnabled = u"00004";
inline constexpr QStringView AlreadyConnected = u"00005";
inline constexpr QStringView StoreOffline = u"00006";
} // namespace login

namespace registration {
inline constexpr QStringView Created = u"00001";
inline constexpr QStringView NameTaken = u"00002";
inline constexpr QStringView Unavailable = u"00003";
inline constexpr QStringView Refused = u"00004";
inline constexpr QStringView AlreadyRegistered = u"00005";
} // namespace registration

namespace reply {
inline constexpr QStringView MasterCount = u"00008";
inline constexpr QStringView MasterRecord = u"00010";
inline constexpr QStringView NoSuchMaster = u"00011";
inline constexpr QStringView Limits = u"00012";
inline constexpr QStringView RoomListCount = u"00002";
inline constexpr QStringView RoomCount = u"00004";
inline constexpr QStringView NoRooms = u"00005";
inline constexpr QStringView RoomRecord = u"00006";
inline constexpr QStringView NoRoomHere = u"00007";
inline constexpr QStringView RoomCreated = u"00071";
inline constexpr QStringView RoomNameTaken = u"00072";
inline constexpr QStringView RoomRefused = u"00073";
// "0005 " room name; typed password: right or wrong (too many guesses too).
inline constexpr QStringView PasswordRight = u"00051";
inline constexpr QStringView PasswordWrong = u"00052";
// "0006 " room name: a ticket for the connection's nick and that room.
inline constexpr QStringView Ticket = u"00061";
inline constexpr QStringView NoTicket = u"00062";
// Not a reply of any exchange: the lobby ends that exchange on it.
inline constexpr QStringView NotLoggedIn = u"00000";
} // namespace reply

// Field 3 of a room record: the room has a password.
inline constexpr QStringView kHasPassword = u"*";

namespace presence {
inline constexpr QStringView Connected = u"10012";
inline constexpr QStringView NotConnected = u"00012";
inline constexpr QStringView NoAccount = u"20012";
} // namespace presence

// The room link: what room hosts send, and what the master answers.
namespace roomlink {
inline constexpr QStringView Identify = u"0001";
inline constexpr QStringView MemberJoined = u"0002";
inline constexpr QStringView MemberLeft = u"0003";
inline constexpr QStringView MemberSpeaks = u"0004";
inline constexpr QStringView MemberSilent = u"0005";
// Master to room host: end the room.
inline constexpr QStringView EndRoom = u"0001";
// Answers to an identification; every refusal closes the link.
inline constexpr QStringView Accepted = u"00001";
inline constexpr QStringView WrongPassword = u"00002";
// Not a room this master started (or no longer knows).
inline constexpr QStringView UnknownRoom = u"00003";
inline constexpr QStringView Malformed = u"00004";
// The link's secret came in clear from another machine: link with TLS.
inline constexpr QStringView TlsRequired = u"00005";
} // namespace roomlink

// Master to lobby, unasked.
namespace notification {
inline constexpr QStringView Ignored = u"0001";
inline constexpr QStringView FromPartner = u"0002";
inline constexpr QStringView OwnText = u"0003";
inline constexpr QStringView SystemText = u"0004";
inline constexpr QStringView Check = u"0005";
} // namespace notification

} // namespace kalimo::master

// The local link from the voice client to the lobby.
namespace kalimo::voicelink {
// Create a private room with the nick that follows and enter it.
inline constexpr QStringView CreatePrivateRoom = u"0001";
// Wait for the data of a room another user is creating for us.
inline constexpr QStringView AwaitRoomData = u"0002";
} // namespace kalimo::voicelink

// Inside a room session.
namespace kalimo::inroom {

// Voice client to room host (code, sender, parameter block).
namespace request {
inline constexpr QStringView TalkState = u"0001";
inline constexpr QStringView PublicText = u"0002";
inline constexpr QStringView PrivateText = u"0003";
inline constexpr QStringView Invite = u"0004";
inline constexpr QStringView AcceptInvite = u"0005";
inline constexpr QStringView RefuseInvite = u"0006";
} // namespace request

// Room host to voice client (code, parameter block).
namespace event {
inline constexpr QStringView TalkRefused = u"0001";
inline constexpr QStringView MemberJoined = u"0002";
inline constexpr QStringView MemberLeft = u"0003";
inline constexpr QStringView Speaking = u"0004";
inline constexpr QStringView PublicText = u"0005";
inline constexpr QStringView PrivateText = u"0006";
inline constexpr QStringView OwnPrivateText = u"0007";
inline constexpr QStringView Invited = u"0008";
inline constexpr QStringView InviteAccepted = u"0009";
inline constexpr QStringView InviteRefused = u"0010";
} // namespace event

} // namespace kalimo::inroom
