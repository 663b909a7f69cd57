#pragma once

#include "platform/session/sessionclient.h"
#include "protocol/framing.h"
#include "protocol/separators.h"
#include "protocol/textcodec.h"

#include <QtTest>

#include "tests/support/wire.h"

namespace kalimo::roomhost::test {

constexpr int kWait = 15000;

using kalimo::test::wire;

// A real session client recording messages as "code:field,field" and voice as "from:frame".
class Membro final
{
public:
    explicit Membro(QString name) : name(std::move(name))
    {
        client.setTimings({.enumRetryMs = 50});
        QObject::connect(&client, &session::SessionClient::Receive, [this](const QByteArray& p) {
            for (const QStringList& parts : splitMessages(decodeText(p)))
                messages.append(parts.value(0) + u':' + splitFields(parts.value(1)).join(u','));
        });
        QObject::connect(&client, &session::SessionClient::VoiceReceived,
                         [this](qint32 from, quint16, const QByteArray& frame) {
                             voices.append(QString::number(from) + u':' + QString::fromUtf8(frame));
                         });
        QObject::connect(&client, &session::SessionClient::TerminateSession,
                         [this](int reason) { terminated = reason; });
    }

    // Enumerates and connects; ConnectComplete's result, -1 when nothing came.
    int join(quint16 port, const QString& password = {},
             const QString& address = QStringLiteral("127.0.0.1"))
    {
        QSignalSpy done(&client, &session::SessionClient::ConnectComplete);
        // On the host's answer, as the voice client does (the session tests connect at once).
        QObject::connect(
            &client, &session::SessionClient::EnumHostsResponse, &client,
            [this, password] { client.Connect(name, password, hostKey); },
            Qt::SingleShotConnection);
        client.setTicket(ticket);
        client.EnumHosts(address, port, session::roomApplicationGuid());
        (void)QTest::qWaitFor([&] { return !done.isEmpty(); }, kWait);
        id = client.localPlayerId();
        return done.value(0).value(0, -1).toInt();
    }

    bool sendRaw(const QString& text) { return client.Send(encodeText(text)); }
    bool talk(bool on) { return sendRaw(masterRequest(u"0001", name, {on ? "true" : "false"})); }
    bool chat(const QString& text) { return sendRaw(masterRequest(u"0002", name, {name, text})); }
    // Waits for a message; also a barrier behind all the host sent before it.
    bool await(const QString& message)
    {
        return QTest::qWaitFor([&] { return messages.contains(message); }, kWait);
    }

    QString name;
    QString ticket;     // the master's, when the room asks for one
    QByteArray hostKey; // as the master gave it; empty: as the room host says
    session::SessionClient client;
    qint32 id = 0;
    QStringList messages, voices;
    int terminated = -1;
};

} // namespace kalimo::roomhost::test
