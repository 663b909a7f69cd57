#include "platform/desktop/grigliatabella.h"

#include <QHeaderView>
#include <QIcon>
#include <QPixmap>
#include <QStyle>
#include <QStyleOptionViewItem>
#include <QTableWidget>

#include <algorithm>

namespace kalimo {

namespace {

constexpr int kRuoloDatoRiga = Qt::UserRole + 1;

// Numbers compare as numbers, anything else as text without regard to case.
int confrontaGenerico(const QString& a, const QString& b)
{
    bool numA = false;
    bool numB = false;
    const double da = a.trimmed().toDouble(&numA);
    const double db = b.trimmed().toDouble(&numB);
    if (numA && numB)
        return da < db ? -1 : (da > db ? 1 : 0);
    return QString::compare(a, b, Qt::CaseInsensitive);
}

} // namespace

GrigliaTabella::GrigliaTabella(QTableWidget* tabella) : m_tabella(tabella)
{
    if (!m_tabella)
        return;
    m_tabella->horizontalHeader()->hide();
    m_tabella->verticalHeader()->hide();
    m_tabella->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_tabella->setSelectionMode(QAbstractItemView::ContiguousSelection);
    m_tabella->setSortingEnabled(false);
    // A cell shows its whole text on one line: columns widen instead.
    m_tabella->setWordWrap(false);
    m_tabella->setTextElideMode(Qt::ElideNone);
    m_larghezze.resize(m_tabella->columnCount(), -1);
    m_sinistra.resize(m_tabella->columnCount(), false);
    aggiornaAspetto();
}

bool GrigliaTabella::valida() const
{
    return !m_tabella.isNull();
}

int GrigliaTabella::righe() const
{
    return m_tabella ? m_tabella->rowCount() : 0;
}

void GrigliaTabella::impostaRighe(int righe)
{
    if (!m_tabella || righe < 0)
        return;
    m_tabella->setRowCount(righe);
    aggiornaAspetto();
}

int GrigliaTabella::colonne() const
{
    return m_tabella ? m_tabella->columnCount() : 0;
}

void GrigliaTabella::impostaColonne(int colonne)
{
    if (!m_tabella || colonne < 0)
        return;
    m_tabella->setColumnCount(colonne);
    m_larghezze.resize(colonne, -1);
    m_sinistra.resize(colonne, false);
    aggiornaAspetto();
}

void GrigliaTabella::impostaLarghezzaColonna(int colonna, int twips)
{
    if (!m_tabella || colonna < 0 || colonna >= colonne() || twips < 0)
        return;
    m_larghezze[colonna] = twips;
    m_tabella->setColumnWidth(colonna, twips / kTwipPerPixel);
    for (int r = 0; r < righe(); ++r)
        allarga(r, colonna);
}

int GrigliaTabella::larghezzaColonna(int colonna) const
{
    if (!m_tabella || colonna < 0 || colonna >= colonne())
        return 0;
    if (m_larghezze[colonna] >= 0)
        return m_larghezze[colonna];
    return m_tabella->columnWidth(colonna) * kTwipPerPixel;
}

void GrigliaTabella::impostaAllineamentoSinistra(int colonna)
{
    if (!m_tabella || colonna < 0 || colonna >= colonne())
        return;
    m_sinistra[colonna] = true;
    for (int r = 0; r < righe(); ++r) {
        if (QTableWidgetItem* item = m_tabella->item(r, colonna))
            applicaAspetto(r, colonna, item);
    }
}

QString GrigliaTabella::testo(int riga, int colonna) const
{
    if (!dentro(riga, colonna))
        return {};
    const QTableWidgetItem* item = m_tabella->item(riga, colonna);
    return item ? item->text() : QString();
}

void GrigliaTabella::impostaTesto(int riga, int colonna, const QString& testo)
{
    if (QTableWidgetItem* item = cella(riga, colonna)) {
        item->setText(testo);
        allarga(riga, colonna);
    }
}

void GrigliaTabella::impostaImmagine(int riga, int colonna, const QImage& immagine)
{
    QTableWidgetItem* item = cella(riga, colonna);
    if (!item)
        return;
    item->setIcon(immagine.isNull() ? QIcon() : QIcon(QPixmap::fromImage(immagine)));
    allarga(riga, colonna);
    impostaCellaCorrente(riga, colonna);
}

bool GrigliaTabella::haImmagine(int riga, int colonna) const
{
    if (!dentro(riga, colonna))
        return false;
    const QTableWidgetItem* item = m_tabella->item(riga, colonna);
    return item && !item->icon().isNull();
}

void GrigliaTabella::aggiungiRiga(const QString& testoConTab)
{
    if (!m_tabella)
        return;
    const int riga = righe();
    impostaRighe(riga + 1);
    const QStringList parti = testoConTab.split(u'\t');
    for (int c = 0; c < parti.size() && c < colonne(); ++c)
        impostaTesto(riga, c, parti[c]);
}

void GrigliaTabella::impostaDatoRiga(int riga, int dato)
{
    // Kept on the row's first cell, so it travels with the row when sorted.
    if (QTableWidgetItem* item = cella(riga, 0))
        item->setData(kRuoloDatoRiga, dato);
}

int GrigliaTabella::datoRiga(int riga) const
{
    if (!dentro(riga, 0))
        return -1;
    const QTableWidgetItem* item = m_tabella->item(riga, 0);
    if (!item)
        return -1;
    const QVariant dato = item->data(kRuoloDatoRiga);
    return dato.isValid() ? dato.toInt() : -1;
}

int GrigliaTabella::rigaCorrente() const
{
    if (!m_tabella)
        return 0;
    // Like a grid with one fixed row: with no choice made, the first row below the header.
    if (m_tabella->currentRow() < 0)
        return righe() > 1 ? 1 : 0;
    return m_tabella->currentRow();
}

int GrigliaTabella::colonnaCorrente() const
{
    if (!m_tabella)
        return 0;
    if (m_tabella->currentColumn() < 0)
        return colonne() > 1 ? 1 : 0;
    return m_tabella->currentColumn();
}

void GrigliaTabella::impostaCellaCorrente(int riga, int colonna)
{
    if (!dentro(riga, colonna))
        return;
    m_tabella->setCurrentCell(riga, colonna);
}

int GrigliaTabella::rigaFineSelezione() const
{
    if (!m_tabella)
        return 0;
    const int corrente = rigaCorrente();
    const QList<QTableWidgetSelectionRange> intervalli = m_tabella->selectedRanges();
    for (const QTableWidgetSelectionRange& intervallo : intervalli) {
        if (corrente < intervallo.topRow() || corrente > intervallo.bottomRow())
            continue;
        return corrente == intervallo.topRow() ? intervallo.bottomRow() : intervallo.topRow();
    }
    return corrente;
}

void GrigliaTabella::pulisci()
{
    if (!m_tabella)
        return;
    for (int r = 0; r < righe(); ++r) {
        for (int c = 0; c < colonne(); ++c) {
            if (QTableWidgetItem* item = m_tabella->item(r, c)) {
                item->setText(QString());
                item->setIcon(QIcon());
            }
        }
    }
}

void GrigliaTabella::aggiorna()
{
    if (m_tabella)
        m_tabella->viewport()->update();
}

void GrigliaTabella::ordina(int primaRiga, int ultimaRiga, int colonna, bool ascendente)
{
    if (!m_tabella || colonna < 0 || colonna >= colonne())
        return;
    primaRiga = std::max(primaRiga, 0);
    ultimaRiga = std::min(ultimaRiga, righe() - 1);
    if (primaRiga >= ultimaRiga)
        return;

    // Whole rows move, with their items, so pictures and row data follow.
    struct Riga
    {
        QString chiave;
        QList<QTableWidgetItem*> celle;
    };
    QList<Riga> blocco;
    for (int r = primaRiga; r <= ultimaRiga; ++r) {
        Riga riga;
        riga.chiave = testo(r, colonna);
        for (int c = 0; c < colonne(); ++c)
            riga.celle.append(m_tabella->takeItem(r, c));
        blocco.append(std::move(riga));
    }
    std::stable_sort(blocco.begin(), blocco.end(), [ascendente](const Riga& a, const Riga& b) {
        const int confronto = confrontaGenerico(a.chiave, b.chiave);
        return ascendente ? confronto < 0 : confronto > 0;
    });
    for (int i = 0; i < blocco.size(); ++i) {
        const int r = primaRiga + i;
        for (int c = 0; c < colonne(); ++c) {
            if (QTableWidgetItem* item = blocco[i].celle[c]) {
                m_tabella->setItem(r, c, item);
                applicaAspetto(r, c, item);
            }
        }
    }
}

bool GrigliaTabella::dentro(int riga, int colonna) const
{
    return m_tabella && riga >= 0 && colonna >= 0 && riga < righe() && colonna < colonne();
}

QTableWidgetItem* GrigliaTabella::cella(int riga, int colonna)
{
    if (!dentro(riga, colonna))
        return nullptr;
    QTableWidgetItem* item = m_tabella->item(riga, colonna);
    if (!item) {
        item = new QTableWidgetItem;
        m_tabella->setItem(riga, colonna, item);
        applicaAspetto(riga, colonna, item);
    }
    return item;
}

void GrigliaTabella::applicaAspetto(int riga, int colonna, QTableWidgetItem* item) const
{
    const bool fissa = riga == 0 || colonna == 0;
    const Qt::Alignment orizzontale =
        m_sinistra.value(colonna) ? Qt::AlignLeft : (fissa ? Qt::AlignHCenter : Qt::AlignLeft);
    item->setTextAlignment(orizzontale | Qt::AlignVCenter);
    if (fissa) {
        item->setFlags(Qt::ItemIsEnabled);
        item->setBackground(m_tabella->palette().button());
        item->setForeground(m_tabella->palette().buttonText());
    } else {
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
        item->setData(Qt::BackgroundRole, QVariant());
        item->setData(Qt::ForegroundRole, QVariant());
    }
}

int GrigliaTabella::larghezzaNecessaria(int riga, int colonna) const
{
    if (!m_tabella->item(riga, colonna))
        return 0;
    // Measured as the view measures it (QTableView::sizeHintForColumn), one cell at a time.
    QStyleOptionViewItem opzione;
    opzione.initFrom(m_tabella);
    opzione.widget = m_tabella;
    opzione.font = m_tabella->font();
    opzione.textElideMode = m_tabella->textElideMode();
    const int icona = m_tabella->style()->pixelMetric(QStyle::PM_SmallIconSize, nullptr, m_tabella);
    opzione.decorationSize =
        m_tabella->iconSize().isValid() ? m_tabella->iconSize() : QSize(icona, icona);
    const QModelIndex indice = m_tabella->model()->index(riga, colonna);
    return m_tabella->itemDelegateForIndex(indice)->sizeHint(opzione, indice).width() +
           (m_tabella->showGrid() ? 1 : 0);
}

void GrigliaTabella::allarga(int riga, int colonna)
{
    // A column asked to be narrower than a pixel is hidden on purpose.
    if (m_larghezze.value(colonna, -1) >= 0 && m_larghezze.value(colonna) < kTwipPerPixel)
        return;
    const int necessaria = larghezzaNecessaria(riga, colonna);
    if (necessaria > m_tabella->columnWidth(colonna))
        m_tabella->setColumnWidth(colonna, necessaria);
}

void GrigliaTabella::aggiornaAspetto()
{
    // Fixed cells need items of their own to carry the fixed look.
    for (int r = 0; r < righe(); ++r) {
        for (int c = 0; c < colonne(); ++c) {
            if (r == 0 || c == 0)
                cella(r, c);
        }
    }
}

} // namespace kalimo
