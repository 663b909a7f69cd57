#pragma once

namespace kalimo {

// Makes the pictures, master list and help texts (":/kalimo/...") available.
// Needed once per program: a static library's resources are otherwise left
// out by the linker. Calling it again does no harm.
void inizializzaRisorse();

} // namespace kalimo
