#pragma once

#include <QNetworkAccessManager>
#include <QObject>
#include <QPointer>
#include <QString>

class QNetworkReply;
class QTextBrowser;

namespace kalimo::voce {

// Where the room window shows its banner page.
class VistaBanner
{
public:
    virtual ~VistaBanner() = default;
    // Loads `indirizzo` in place of what is shown; failures leave it as it was.
    virtual void apri(const QString& indirizzo) = 0;
};

// A light view: the page's HTML fetched over HTTP(S) and shown as rich text,
// without scripts or plug-ins.
class VistaBannerTesto final : public QObject, public VistaBanner
{
    Q_OBJECT

public:
    // A page is a few kilobytes; anything past this is not one.
    static constexpr qint64 kDimensioneMassima = 512 * 1024;

    explicit VistaBannerTesto(QTextBrowser* vista, QObject* parent = nullptr);
    ~VistaBannerTesto() override;

    void apri(const QString& indirizzo) override;

Q_SIGNALS:
    // A page was shown (tests wait for it).
    void paginaMostrata();

private:
    void arrivata(QNetworkReply* risposta);

    QPointer<QTextBrowser> m_vista;
    QNetworkAccessManager m_rete;
    QPointer<QNetworkReply> m_inCorso;
};

} // namespace kalimo::voce
