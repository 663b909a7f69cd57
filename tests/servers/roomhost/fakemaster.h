#pragma once

#include "membro.h"

#include <QTcpServer>
#include <QTcpSocket>

namespace kalimo::roomhost::test {

// The master's side of the room link.
class FakeMaster final
{
public:
    FakeMaster()
    {
        server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server, &QTcpServer::newConnection, [this] {
            while (QTcpSocket* s = server.nextPendingConnection()) {
                ++connections;
                socket = s;
                QObject::connect(s, &QTcpSocket::readyRead,
                                 [this, s] { received += decodeText(s->readAll()); });
            }
        });
    }
    QList<QStringList> messages() const
    {
        QList<QStringList> out;
        for (const QStringList& parts : splitMessages(received)) {
            QStringList m{parts.value(0)};
            if (parts.size() == 3)
                m.append(parts.at(1));
            m += splitFields(parts.last());
            out.append(m);
        }
        return out;
    }
    bool waitMessages(qsizetype n)
    {
        return QTest::qWaitFor([&] { return messages().size() >= n; }, kWait);
    }

    QTcpServer server;
    QTcpSocket* socket = nullptr;
    int connections = 0;
    QString received;
};

} // namespace kalimo::roomhost::test
