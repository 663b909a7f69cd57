#pragma once

// A room member as a test sees it: a real session client that records
// every message and voice frame the room host sends it.

#include "platform/session/sessionclient.h"
#include "protocol/framing.h"
#include "protocol/separators.h"
#include "protocol/textcodec.h"

#include <QSignalSpy>
#include <QTest>

#include <memory>

namespace kalimo::roomhost::test {

constexpr int kWait = 15000;

inline session::SessionTimings quickTimings()
{
    session::SessionTimings t;
    t.enumRetryMs = 50;
    t.connectMs = 10000;
    return t;
}

// Text as written in the tests: $ | ~ stand for SEP1, SEP2, SEP3.
inline QString wire(QString text)
{
    text.replace(u'$', SEP1).replace(u'|', SEP2).replace(u'~', SEP3);
    return text;
}

struct Voice
{
    qint32 from = 0;
    QByteArray frame;
};

class Membro final
{
public:
    explicit Membro(QString name) : name(std::move(name))
    {
        client.setTimings(quickTimings());
        QObject::connect(&client, &session::SessionClient::Receive, [this](const QByteArray& p) {
            const QString text = decodeText(p);
            payloads.append(text);
            for (const QStringList& parts : splitMessages(text)) {
                QStringList m{parts.value(0)};
                m += splitFields(parts.value(1));
                messages.append(m);
            }
        });
        QObject::connect(&client, &session::SessionClient::VoiceReceived,
                         [this](qint32 from, quint16, const QByteArray& frame) {
                             voices.append({from, frame});
                         });
        QObject::connect(&client, &session::SessionClient::TerminateSession,
                         [this](int reason) { terminated = reason; });
    }

    // Enumerates and connects; ConnectComplete's result, -1 when nothing came.
    int join(quint16 port, const QString& password = {})
    {
        QSignalSpy found(&client, &session::SessionClient::EnumHostsResponse);
        QSignalSpy done(&client, &session::SessionClient::ConnectComplete);
        client.EnumHosts(QStringLiteral("127.0.0.1"), port, session::roomApplicationGuid());
        if (!QTest::qWaitFor([&] { return !found.isEmpty(); }, kWait))
            return -1;
        client.Connect(name, password);
        if (!QTest::qWaitFor([&] { return !done.isEmpty(); }, kWait))
            return -1;
        id = client.localPlayerId();
        return done.first().first().toInt();
    }

    // A message as the voice client writes it.
    bool say(const QString& code, const QString& block)
    {
        return client.Send(encodeText(masterRequest(code, name, {block})));
    }
    bool talk(bool on) { return say(QStringLiteral("0001"), on ? "true" : "false"); }
    bool chat(const QString& text)
    {
        return client.Send(encodeText(masterRequest(u"0002", name, {name, text})));
    }
    bool sendRaw(const QString& text) { return client.Send(encodeText(text)); }

    bool waitMessages(qsizetype count)
    {
        return QTest::qWaitFor([&] { return messages.size() >= count; }, kWait);
    }
    // Waits for a public chat line: also a barrier behind everything the host
    // sent this member before it, on the same ordered channel.
    bool waitChat(const QString& from, const QString& text)
    {
        const QStringList line{QStringLiteral("0005"), from, text};
        return QTest::qWaitFor([&] { return messages.contains(line); }, kWait);
    }

    QList<QStringList> codes(const QString& code) const
    {
        QList<QStringList> out;
        for (const QStringList& m : messages) {
            if (m.value(0) == code)
                out.append(m);
        }
        return out;
    }

    QString name;
    session::SessionClient client;
    qint32 id = 0;
    QStringList payloads;
    QList<QStringList> messages; // code, then the fields
    QList<Voice> voices;
    int terminated = -1;
};

} // namespace kalimo::roomhost::test
