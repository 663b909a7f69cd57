#pragma once

#include "protocol/framing.h"
#include "protocol/separators.h"
#include "protocol/textcodec.h"

#include <QHostAddress>
#include <QTcpSocket>

namespace kalimo::test {

// Registers `nick` on a master at `porta` with the request the registration
// window sends; true when the master accepted it.
inline bool registraAccount(quint16 porta, const QString& nick, const QString& password,
                            int attesaMs = 20000)
{
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, porta);
    if (!s.waitForConnected(attesaMs))
        return false;
    s.write(encodeText(masterRequest(u"0010", nick,
                                     {nick, QStringLiteral("kalimo"), password,
                                      QStringLiteral("x@example.org"), QStringLiteral("-1")})));
    QByteArray risposta;
    while (!risposta.contains(kalimo::SEP1_BYTE) && s.waitForReadyRead(attesaMs))
        risposta += s.readAll();
    return risposta.startsWith("00001");
}

} // namespace kalimo::test
