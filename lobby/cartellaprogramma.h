#pragma once

#include <QString>

namespace kalimo::lobby {

// The lobby's program folder: KALIMO_HOME when set, else the executable's
// folder when we may write there (a portable install), else the per-user
// data folder.
QString scegliCartellaProgramma(const QString& daAmbiente, const QString& cartellaEseguibile,
                                const QString& cartellaUtente);

// The same from this process's environment. The per-user folder is created
// when chosen, and a fresh one receives the shipped master list and help
// texts, so an installed program starts like a portable one. An installed
// copy always keeps its files in the per-user folder.
QString cartellaProgrammaPredefinita();

// Where the help texts ship: an installed copy's data folder, else the
// executable's folder.
QString cartellaFileSpediti();

bool cartellaScrivibile(const QString& cartella);

// Copies the shipped Masters.txt (unless a list or its backup is already
// there) and help texts into `cartella`, from `cartellaDati` or, when empty,
// from the built-in copies; existing files are never replaced.
void preparaCartellaUtente(const QString& cartella, const QString& cartellaDati = {});

} // namespace kalimo::lobby
