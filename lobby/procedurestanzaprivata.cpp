// Where an answered private-chat invitation hands over to the private-room
// procedures of the voice link.

#include "lobby/module1.h"

namespace kalimo {

void Module1::AvviaRicezioneStanzaPrivata()
{
    // TODO(voice link): AvviaProcedureRicezioneDati() once it lands.
}

void Module1::AvviaCreazioneStanzaPrivata(const QString& partner)
{
    // TODO(voice link): AvviaProcedurePerStanzaPrivata(partner) once it lands.
    Q_UNUSED(partner);
}

} // namespace kalimo
