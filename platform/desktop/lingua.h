#pragma once

#include <QString>

namespace kalimo {

// The windows speak the user's language: English when the system locale's
// first language is English, otherwise Italian, the language they are
// written in. Wire texts and files never change with it.

// The language for the given preferred languages (QLocale::uiLanguages()):
// "en" or "it".
QString linguaPer(const QStringList& lingue);

// Loads the translation of the system locale's language into the running
// application (once, before the first window); returns the language chosen.
QString installaTraduzione();

// The language installaTraduzione() chose; "it" before it ran.
QString linguaInterfaccia();

} // namespace kalimo
