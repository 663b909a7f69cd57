#pragma once

#include "room/griglia.h"

#include <QPointer>

class QTableWidget;
class QTableWidgetItem;

namespace kalimo {

// A QTableWidget seen as a Griglia. Row 0 and column 0 are ordinary cells
// with the fixed look (Qt's own headers are hidden), as the grid's users
// address them by number. Widths are kept in twips, 15 to a pixel; a column
// shows wider when its texts need it, never cutting or wrapping a cell.
class GrigliaTabella final : public Griglia
{
public:
    static constexpr int kTwipPerPixel = 15;

    explicit GrigliaTabella(QTableWidget* tabella);

    QTableWidget* tabella() const { return m_tabella; }

    bool valida() const override;
    int righe() const override;
    void impostaRighe(int righe) override;
    int colonne() const override;
    void impostaColonne(int colonne) override;
    void impostaLarghezzaColonna(int colonna, int twips) override;
    int larghezzaColonna(int colonna) const override;
    void impostaAllineamentoSinistra(int colonna) override;

    QString testo(int riga, int colonna) const override;
    void impostaTesto(int riga, int colonna, const QString& testo) override;
    void impostaImmagine(int riga, int colonna, const QImage& immagine) override;
    bool haImmagine(int riga, int colonna) const override;

    void aggiungiRiga(const QString& testoConTab) override;

    void impostaDatoRiga(int riga, int dato) override;
    int datoRiga(int riga) const override;

    int rigaCorrente() const override;
    int colonnaCorrente() const override;
    void impostaCellaCorrente(int riga, int colonna) override;
    int rigaFineSelezione() const override;

    void pulisci() override;
    void aggiorna() override;
    void ordina(int primaRiga, int ultimaRiga, int colonna, bool ascendente) override;

private:
    bool dentro(int riga, int colonna) const;
    QTableWidgetItem* cella(int riga, int colonna);
    void applicaAspetto(int riga, int colonna, QTableWidgetItem* item) const;
    void aggiornaAspetto();
    // Pixels a cell needs to show its whole text and picture.
    int larghezzaNecessaria(int riga, int colonna) const;
    void allarga(int riga, int colonna);

    QPointer<QTableWidget> m_tabella;
    QList<int> m_larghezze; // twips, one per column
    QList<bool> m_sinistra; // left-aligned columns
};

} // namespace kalimo
