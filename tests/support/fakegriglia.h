#pragma once

#include "room/griglia.h"

#include <QImage>
#include <QMap>
#include <QPair>
#include <QStringList>

namespace kalimo {

// A grid that records texts, pictures and how often it was cleared and
// refreshed. Writes outside its rows or columns are dropped, as a real
// table does, and counted.
class FakeGriglia final : public Griglia
{
public:
    bool valid = true;
    int clears = 0, refreshes = 0, outOfRangeWrites = 0;
    QMap<QPair<int, int>, QImage> pictures;

    bool valida() const override { return valid; }
    int righe() const override { return m_righe; }
    void impostaRighe(int righe) override { m_righe = righe; }
    int colonne() const override { return m_colonne; }
    void impostaColonne(int colonne) override { m_colonne = colonne; }
    QString testo(int riga, int colonna) const override { return m_testi.value({riga, colonna}); }
    void impostaTesto(int riga, int colonna, const QString& testo) override
    {
        if (inside(riga, colonna))
            m_testi[{riga, colonna}] = testo;
    }
    void impostaImmagine(int riga, int colonna, const QImage& immagine) override
    {
        if (inside(riga, colonna))
            pictures[{riga, colonna}] = immagine;
    }
    bool haImmagine(int riga, int colonna) const override
    {
        return pictures.contains({riga, colonna});
    }
    void pulisci() override
    {
        ++clears;
        m_testi.clear();
        pictures.clear();
    }
    void aggiorna() override { ++refreshes; }

    // Widths are the real grid's business; the rest is never used by a room's drawing.
    void impostaLarghezzaColonna(int, int) override {}
    int larghezzaColonna(int) const override { return 0; }
    void impostaAllineamentoSinistra(int) override {}
    void aggiungiRiga(const QString&) override {}
    void impostaDatoRiga(int, int) override {}
    int datoRiga(int) const override { return -1; }
    int rigaCorrente() const override { return 0; }
    int colonnaCorrente() const override { return 0; }
    void impostaCellaCorrente(int, int) override {}
    int rigaFineSelezione() const override { return 0; }
    void ordina(int, int, int, bool) override {}

    // Rows top to bottom, one a line, cells separated by '|'.
    QString dump() const
    {
        QStringList rows;
        for (int r = 0; r < m_righe; ++r) {
            QStringList cells;
            for (int c = 0; c < m_colonne; ++c)
                cells.append(testo(r, c));
            rows.append(cells.join(u'|'));
        }
        return rows.join(u'\n');
    }

private:
    bool inside(int riga, int colonna)
    {
        const bool ok = riga >= 0 && riga < m_righe && colonna >= 0 && colonna < m_colonne;
        outOfRangeWrites += ok ? 0 : 1;
        return ok;
    }

    int m_righe = 0, m_colonne = 0;
    QMap<QPair<int, int>, QString> m_testi;
};

} // namespace kalimo
