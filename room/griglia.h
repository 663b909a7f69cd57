#pragma once

#include <QImage>
#include <QString>
#include <QStringList>

#include <initializer_list>

namespace kalimo {

// The table a room (and the lobby's list windows) draw into: a fixed header
// row 0 and a fixed column 0, cell texts and pictures, widths in twips, a
// current cell and a selection end, and sorting of a row range. The desktop
// adapts a QTableWidget to it; tests use a recording fake.
class Griglia
{
public:
    virtual ~Griglia() = default;

    // False when the grid no longer answers (e.g. its widget is gone).
    virtual bool valida() const = 0;

    virtual int righe() const = 0;
    virtual void impostaRighe(int righe) = 0;
    virtual int colonne() const = 0;
    virtual void impostaColonne(int colonne) = 0;
    virtual void impostaLarghezzaColonna(int colonna, int twips) = 0;
    virtual int larghezzaColonna(int colonna) const = 0; // twips
    virtual void impostaAllineamentoSinistra(int colonna) = 0;

    virtual QString testo(int riga, int colonna) const = 0;
    virtual void impostaTesto(int riga, int colonna, const QString& testo) = 0;
    // The picture goes to the given cell (and the current cell moves there).
    virtual void impostaImmagine(int riga, int colonna, const QImage& immagine) = 0;
    virtual bool haImmagine(int riga, int colonna) const = 0;

    // Appends a row whose columns are separated by tab characters.
    virtual void aggiungiRiga(const QString& testoConTab) = 0;

    // A number kept with a row and moved with it by a sort (the lobby keeps
    // the index of the room a row shows); -1 when none was set.
    virtual void impostaDatoRiga(int riga, int dato) = 0;
    virtual int datoRiga(int riga) const = 0;

    virtual int rigaCorrente() const = 0;
    virtual int colonnaCorrente() const = 0;
    virtual void impostaCellaCorrente(int riga, int colonna) = 0;
    // The last row of the selection (the current row when nothing more is selected).
    virtual int rigaFineSelezione() const = 0;

    // Clears every cell's text and picture (rows and columns stay).
    virtual void pulisci() = 0;
    virtual void aggiorna() = 0;
    // Sorts rows primaRiga..ultimaRiga by the text of `colonna`.
    virtual void ordina(int primaRiga, int ultimaRiga, int colonna, bool ascendente) = 0;
};

// Clears `g` down to its header row: one column per width (twips), column 1
// left-aligned, `titoli` in row 0 from column 1 on.
inline void impostaSoloIntestazione(Griglia& g, const QStringList& titoli,
                                    std::initializer_list<int> larghezze)
{
    g.pulisci();
    g.impostaColonne(int(larghezze.size()));
    g.impostaRighe(1);
    g.impostaAllineamentoSinistra(1);
    for (int c = 0; c < titoli.size(); ++c)
        g.impostaTesto(0, c + 1, titoli.at(c));
    int c = 0;
    for (int twips : larghezze)
        g.impostaLarghezzaColonna(c++, twips);
}

} // namespace kalimo
