#include "room/stanza.h"

#include <iterator>

namespace kalimo {

namespace {

struct Colonna
{
    const char* intestazione; // nullptr: the fixed column, never written
    int twips;
};

// Column 0 of the short layout is 1 twip wide: practically hidden.
constexpr Colonna kCorta[] = {
    {nullptr, 1}, {QT_TRANSLATE_NOOP("kalimo::Stanza", "Nick Name"), 2480}, {"", 400}};
constexpr Colonna kCompleta[] = {{nullptr, 300},
                                 {QT_TRANSLATE_NOOP("kalimo::Stanza", "ID"), 300},
                                 {QT_TRANSLATE_NOOP("kalimo::Stanza", "Nick Name"), 1800},
                                 {QT_TRANSLATE_NOOP("kalimo::Stanza", "Parlante"), 700},
                                 {QT_TRANSLATE_NOOP("kalimo::Stanza", "IPAddress"), 1200}};

} // namespace

bool Stanza::GrigliaValida() const
{
    return grdUtenti != nullptr && grdUtenti->valida();
}

QString Stanza::SiNo(bool value) const
{
    return value ? tr("SI") : tr("NO");
}

void Stanza::scriviRiga(int i)
{
    const Utente& u = *m_utenti.at(i);
    if (GrigliaSemplice) {
        grdUtenti->impostaTesto(i, 1, u.NickName);
        if (u.Parlante)
            grdUtenti->impostaImmagine(i, 2, PictureMicrofono);
        else
            grdUtenti->impostaTesto(i, 2, QString()); // an old picture stays until a rebuild
        return;
    }
    grdUtenti->impostaTesto(i, 1, QString::number(u.IDUtente));
    grdUtenti->impostaTesto(i, 2, u.NickName);
    grdUtenti->impostaTesto(i, 3, SiNo(u.Parlante));
    grdUtenti->impostaTesto(i, 4, u.IPAddress);
}

void Stanza::VisualizzaUtenti(qint16 Indice)
{
    Errori.Inizializza();
    if (!AttivaGrafica || !GrigliaValida()) {
        Errori.Imposta(4, tr("La grafica non e' stata attivata per questa istanza di stanza oppure "
                             "non e' stata assegnata una griglia a questa istanza"));
        return;
    }
    if (Indice != 0) {
        // A row the grid does not have yet waits for the next rebuild.
        if (Indice < 0 || Indice > NumUtenti() || Indice >= grdUtenti->righe())
            return;
        scriviRiga(Indice);
        grdUtenti->aggiorna();
        return;
    }
    const Colonna* colonne = GrigliaSemplice ? kCorta : kCompleta;
    const int numColonne = GrigliaSemplice ? int(std::size(kCorta)) : int(std::size(kCompleta));
    grdUtenti->pulisci();
    grdUtenti->impostaRighe(NumUtenti() + 1);
    grdUtenti->impostaColonne(numColonne);
    for (int c = 0; c < numColonne; ++c) {
        if (const char* intestazione = colonne[c].intestazione)
            grdUtenti->impostaTesto(0, c, *intestazione ? tr(intestazione) : QString());
        grdUtenti->impostaLarghezzaColonna(c, colonne[c].twips);
    }
    for (int i = 1; i <= NumUtenti(); ++i)
        scriviRiga(i);
    grdUtenti->aggiorna();
}

} // namespace kalimo
