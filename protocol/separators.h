#pragma once

#include <QChar>

namespace kalimo {

// Message framing: SEP1 ends a message, SEP2 separates its parts, SEP3 the
// fields of a parameter block. SEP4..SEP9 mark the private-text sub-protocols.
inline constexpr QChar SEP1{char16_t(29)};
inline constexpr QChar SEP2{char16_t(30)};
inline constexpr QChar SEP3{char16_t(31)};
inline constexpr QChar SEP4{char16_t(28)};
inline constexpr QChar SEP5{char16_t(27)};
inline constexpr QChar SEP6{char16_t(26)};
inline constexpr QChar SEP7{char16_t(25)};
inline constexpr QChar SEP8{char16_t(24)};
inline constexpr QChar SEP9{char16_t(23)};

inline constexpr char SEP1_BYTE = 29;

} // namespace kalimo
