#pragma once

#include <QString>

#include <functional>
#include <initializer_list>

namespace kalimo {

// The cooperative wait: events (sockets, timers, clicks) keep running while a
// caller waits for a reply code, a time-out flag or a cancel flag.
namespace Attesa {

// Returned when the program is ending and every wait must unwind.
inline constexpr int kInterrotta = -1;

// Runs events until one of `condizioni` holds; returns the index of the first
// that holds (checked in order), or kInterrotta. Sleeps between events, with a
// short poll so conditions changed outside the event loop are seen too.
int finche(std::initializer_list<std::function<bool()>> condizioni);
// The same for one condition: true when it holds, false when interrupted.
bool finche(const std::function<bool()>& condizione);

// Lets events run for `ms` milliseconds (0 runs pending events once).
void Pausa(int ms);

// Ends every running wait and pause; used when the program ends at once.
void interrompiTutto();
bool interrotta();
// Lets waits run again (tests start the program more than once).
void riprendi();

} // namespace Attesa

} // namespace kalimo
