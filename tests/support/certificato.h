#pragma once

#include <QCryptographicHash>
#include <QFile>
#include <QProcess>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QTemporaryDir>

namespace kalimo::test {

// A throwaway self-signed certificate for 127.0.0.1 (EC P-256, made by the
// openssl program), its key, and both as PEM files.
class CertificatoProva final
{
public:
    bool crea()
    {
        if (!m_cartella.isValid())
            return false;
        certificato = m_cartella.filePath(QStringLiteral("cert.pem"));
        chiave = m_cartella.filePath(QStringLiteral("key.pem"));
        QProcess openssl;
        openssl.start(QStringLiteral("openssl"),
                      QStringLiteral("req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 "
                                     "-nodes -days 2 -subj /CN=127.0.0.1 -addext "
                                     "subjectAltName=IP:127.0.0.1 -keyout %1 -out %2")
                          .arg(chiave, certificato)
                          .split(u' '));
        if (!openssl.waitForFinished(60000) || openssl.exitCode() != 0)
            return false;
        QFile c(certificato), k(chiave);
        if (!c.open(QIODevice::ReadOnly) || !k.open(QIODevice::ReadOnly))
            return false;
        cert = QSslCertificate(c.readAll(), QSsl::Pem);
        key = QSslKey(k.readAll(), QSsl::Ec, QSsl::Pem);
        return !cert.isNull() && !key.isNull();
    }

    QByteArray impronta() const { return cert.digest(QCryptographicHash::Sha256); }
    QString improntaHex() const { return QString::fromLatin1(impronta().toHex()); }

    // What a server presents.
    QSslConfiguration server() const
    {
        QSslConfiguration c = QSslConfiguration::defaultConfiguration();
        c.setLocalCertificate(cert);
        c.setPrivateKey(key);
        c.setPeerVerifyMode(QSslSocket::VerifyNone);
        return c;
    }

    QString certificato, chiave;
    QSslCertificate cert;
    QSslKey key;

private:
    QTemporaryDir m_cartella;
};

} // namespace kalimo::test
