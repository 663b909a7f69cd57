#pragma once

#include <QApplication>
#include <QByteArray>

namespace kalimo::fuzz {

// The offscreen application a widget target runs in. Never destroyed: at exit Qt's own
// globals go first.
inline void startWidgets(int* argc, char*** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    new QApplication(*argc, *argv);
}

} // namespace kalimo::fuzz
