// Where an answered private-chat invitation hands over to the private-room
// procedures of the voice link.

#include "lobby/module1.h"

namespace kalimo {

void Module1::AvviaRicezioneStanzaPrivata()
{
    AvviaProcedureRicezioneDati();
}

void Module1::AvviaCreazioneStanzaPrivata(const QString& partner)
{
    AvviaProcedurePerStanzaPrivata(partner);
}

} // namespace kalimo
