#include "voice/vistabanner.h"

#include "protocol/textcodec.h"

#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTextBrowser>
#include <QUrl>

namespace kalimo::voce {

VistaBannerTesto::VistaBannerTesto(QTextBrowser* vista, QObject* parent)
    : QObject(parent), m_vista(vista)
{
}

VistaBannerTesto::~VistaBannerTesto()
{
    if (m_inCorso)
        m_inCorso->abort();
}

void VistaBannerTesto::apri(const QString& indirizzo)
{
    const QUrl url(indirizzo.trimmed(), QUrl::StrictMode);
    // Only web pages: an address from the network never opens a local file.
    if (!url.isValid() || (url.scheme() != u"http" && url.scheme() != u"https"))
        return;
    if (m_inCorso)
        m_inCorso->abort();
    QNetworkRequest richiesta(url);
    richiesta.setTransferTimeout(30000);
    QNetworkReply* risposta = m_rete.get(richiesta);
    m_inCorso = risposta;
    connect(risposta, &QNetworkReply::downloadProgress, risposta, [risposta](qint64 ricevuti) {
        if (ricevuti > kDimensioneMassima)
            risposta->abort();
    });
    connect(risposta, &QNetworkReply::finished, this, [this, risposta] { arrivata(risposta); });
}

void VistaBannerTesto::arrivata(QNetworkReply* risposta)
{
    risposta->deleteLater();
    if (risposta->error() != QNetworkReply::NoError || !m_vista)
        return;
    m_vista->setHtml(decodeText(risposta->read(kDimensioneMassima)));
    Q_EMIT paginaMostrata();
}

} // namespace kalimo::voce
