#pragma once

#include "room/griglia.h"

#include <QImage>
#include <QList>
#include <QMap>
#include <QPair>
#include <QSet>
#include <QStringList>

#include <algorithm>

namespace kalimo {

// A grid that only records: cell texts and pictures, widths, row data, the
// current cell, and how often it was cleared, refreshed and sorted. Writes
// outside its rows or columns are dropped, as a real table does, and counted.
class FakeGriglia final : public Griglia
{
public:
    using Cella = QPair<int, int>;

    bool valid = true;
    int clears = 0;
    int refreshes = 0;
    int outOfRangeWrites = 0;
    QList<QList<int>> sorts; // {first, last, column, ascending}
    QSet<int> leftAligned;

    bool valida() const override { return valid; }

    int righe() const override { return m_righe; }
    void impostaRighe(int righe) override
    {
        m_righe = std::max(0, righe);
        dropOutside();
    }
    int colonne() const override { return m_colonne; }
    void impostaColonne(int colonne) override
    {
        m_colonne = std::max(0, colonne);
        dropOutside();
    }
    void impostaLarghezzaColonna(int colonna, int twips) override { m_larghezze[colonna] = twips; }
    int larghezzaColonna(int colonna) const override { return m_larghezze.value(colonna, 0); }
    void impostaAllineamentoSinistra(int colonna) override { leftAligned.insert(colonna); }

    QString testo(int riga, int colonna) const override { return m_testi.value({riga, colonna}); }
    void impostaTesto(int riga, int colonna, const QString& testo) override
    {
        if (!inside(riga, colonna))
            return;
        m_testi[{riga, colonna}] = testo;
    }
    void impostaImmagine(int riga, int colonna, const QImage& immagine) override
    {
        if (!inside(riga, colonna))
            return;
        m_immagini[{riga, colonna}] = immagine;
        impostaCellaCorrente(riga, colonna);
    }
    bool haImmagine(int riga, int colonna) const override
    {
        return m_immagini.contains({riga, colonna});
    }
    QImage immagine(int riga, int colonna) const { return m_immagini.value({riga, colonna}); }
    int pictureCount() const { return int(m_immagini.size()); }

    void aggiungiRiga(const QString& testoConTab) override
    {
        const int riga = m_righe++;
        const QStringList parts = testoConTab.split(QLatin1Char('\t'));
        for (int c = 0; c < parts.size(); ++c)
            impostaTesto(riga, c, parts.at(c));
    }

    void impostaDatoRiga(int riga, int dato) override
    {
        if (riga < 0 || riga >= m_righe) {
            ++outOfRangeWrites;
            return;
        }
        m_dati[riga] = dato;
    }
    int datoRiga(int riga) const override { return m_dati.value(riga, -1); }

    int rigaCorrente() const override { return m_rigaCorrente; }
    int colonnaCorrente() const override { return m_colonnaCorrente; }
    void impostaCellaCorrente(int riga, int colonna) override
    {
        m_rigaCorrente = riga;
        m_colonnaCorrente = colonna;
        m_fineSelezione = riga;
    }
    int rigaFineSelezione() const override { return m_fineSelezione; }
    void impostaFineSelezione(int riga) { m_fineSelezione = riga; }

    void pulisci() override
    {
        ++clears;
        m_testi.clear();
        m_immagini.clear();
    }
    void aggiorna() override { ++refreshes; }

    // Moves whole rows (texts, pictures, row data), as a real table does.
    void ordina(int primaRiga, int ultimaRiga, int colonna, bool ascendente) override
    {
        sorts.append({primaRiga, ultimaRiga, colonna, ascendente ? 1 : 0});
        primaRiga = std::max(primaRiga, 0);
        ultimaRiga = std::min(ultimaRiga, m_righe - 1);
        if (primaRiga >= ultimaRiga)
            return;
        QList<int> ordine;
        for (int r = primaRiga; r <= ultimaRiga; ++r)
            ordine.append(r);
        std::stable_sort(ordine.begin(), ordine.end(), [&](int a, int b) {
            const int cmp = QString::compare(testo(a, colonna), testo(b, colonna));
            return ascendente ? cmp < 0 : cmp > 0;
        });
        QMap<Cella, QString> testi;
        QMap<Cella, QImage> immagini;
        QMap<int, int> dati;
        for (auto it = m_testi.cbegin(); it != m_testi.cend(); ++it)
            testi[movedCell(it.key(), primaRiga, ordine)] = it.value();
        for (auto it = m_immagini.cbegin(); it != m_immagini.cend(); ++it)
            immagini[movedCell(it.key(), primaRiga, ordine)] = it.value();
        for (auto it = m_dati.cbegin(); it != m_dati.cend(); ++it)
            dati[movedCell({it.key(), 0}, primaRiga, ordine).first] = it.value();
        m_testi = testi;
        m_immagini = immagini;
        m_dati = dati;
    }

    // Row r's texts of columns 0..colonne()-1.
    QStringList row(int r) const
    {
        QStringList out;
        for (int c = 0; c < m_colonne; ++c)
            out.append(testo(r, c));
        return out;
    }

private:
    bool inside(int riga, int colonna)
    {
        if (riga >= 0 && riga < m_righe && colonna >= 0 && colonna < m_colonne)
            return true;
        ++outOfRangeWrites;
        return false;
    }
    void dropOutside()
    {
        const auto outside = [this](const Cella& c) {
            return c.first >= m_righe || c.second >= m_colonne;
        };
        m_testi.removeIf([&](auto it) { return outside(it.key()); });
        m_immagini.removeIf([&](auto it) { return outside(it.key()); });
        m_dati.removeIf([&](auto it) { return it.key() >= m_righe; });
    }
    static Cella movedCell(const Cella& c, int primaRiga, const QList<int>& ordine)
    {
        const qsizetype pos = ordine.indexOf(c.first);
        if (c.first < primaRiga || pos < 0)
            return c;
        return {primaRiga + int(pos), c.second};
    }

    int m_righe = 0;
    int m_colonne = 0;
    int m_rigaCorrente = 0;
    int m_colonnaCorrente = 0;
    int m_fineSelezione = 0;
    QMap<int, int> m_larghezze;
    QMap<Cella, QString> m_testi;
    QMap<Cella, QImage> m_immagini;
    QMap<int, int> m_dati;
};

} // namespace kalimo
