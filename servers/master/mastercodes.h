#pragma once

#include <QStringView>

namespace kalimo::master {

// Request codes (four digits, without the blank the lobby puts after them).
namespace request {
inline constexpr QStringView Login = u"0001";
inline constexpr QStringView RoomListCount = u"0002";
inline constexpr QStringView RoomCount = u"0003";
inline constexpr QStringView RoomRecord = u"0004";
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
// Every exchange of the lobby ends quietly on a code it does not expect;
// this one also reads as "service unavailable" wherever it is known.
inline constexpr QStringView NotAvailable = u"00003";
inline constexpr QStringView RoomRefused = u"00073";
// Not a reply of any exchange: the lobby ends that exchange on it.
inline constexpr QStringView NotLoggedIn = u"00000";
} // namespace reply

namespace notification {
inline constexpr QStringView SystemText = u"0004";
inline constexpr QStringView Check = u"0005";
} // namespace notification

} // namespace kalimo::master
