#pragma once

#include <QList>
#include <QString>
#include <QStringList>

namespace kalimo {

// The parameter block of a request: " No Parametri " when there is none,
// else " p1 " then SEP3 " p " for each further parameter.
QString parameterBlock(const QStringList& params);

// A lobby-to-master request as the master framing has it:
//   code " " SEP2 " " nick " " SEP2 block SEP1 " "
// `code` is the four digits without the blank. The two requests that the
// protocol frames differently ("0002" and "0012") are built accordingly.
QString masterRequest(QStringView code, QStringView nick, const QStringList& params = {});

// A message that names its sender, as members send them inside a room:
//   code " " SEP2 " " sender " " SEP2 block SEP1, with one more blank at the
// end when `trailingBlank`. `block` goes as given (parameterBlock() for the
// usual form).
QString senderMessage(QStringView code, QStringView sender, QStringView block,
                      bool trailingBlank = true);

// What the voice client tells the lobby: code " " SEP2 " " parameter " " SEP1.
QString voiceLinkMessage(QStringView code, QStringView parameter);

// Fields joined by " " SEP3 " " (no blanks at either end).
QString joinFields(const QStringList& fields);

// A message from a host or server to its clients:
//   code " " SEP2 " " fields SEP1-ended with " " SEP1 " "
QString hostMessage(QStringView code, const QStringList& fields);

// Splits arrived text the way every receiver here does: trim the whole text,
// split at SEP1, keep every piece but the last (the text after the final
// SEP1), split each kept piece at SEP2 and trim each part.
QList<QStringList> splitMessages(QStringView text);

// A parameter block split at SEP3, each field trimmed. An empty block gives
// no fields.
QStringList splitFields(QStringView block);

// Field `i` of `fields`, or an empty text when there are fewer.
QString fieldAt(const QStringList& fields, qsizetype i);

// A control character (C0, DEL, C1): no name, line or field of ours holds one.
inline bool isControlCharacter(QChar c)
{
    return c.category() == QChar::Other_Control;
}
// Whether `text` holds a control character anywhere.
bool hasControlCharacter(QStringView text);
// One of the framing's own characters (23..31: separators and markers).
inline bool isFramingCharacter(QChar c)
{
    return c.unicode() >= 23 && c.unicode() <= 31;
}

// Removes the framing's characters from text a user typed, so it can never
// break a message apart or pose as a marker.
QString stripControlCharacters(QStringView text);

} // namespace kalimo
