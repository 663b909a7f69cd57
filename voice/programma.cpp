#include "voice/programma.h"

#include "platform/desktop/dialoghiqt.h"
#include "platform/termination/terminationsignal.h"
#include "platform/voiceengine/qtaudiobackend.h"
#include "resources/risorse.h"
#include "voice/agganciprova.h"
#include "voice/frmimpostaaudio.h"
#include "voice/lineacomando.h"

#include <QApplication>

using namespace Qt::StringLiterals;

namespace kalimo::voce {

namespace {
constexpr const char* kVariabileBiglietto = "KALIMO_ROOM_TICKET";
constexpr const char* kVariabileChiave = "KALIMO_ROOM_KEY";
} // namespace

int eseguiVoce(QApplication& app)
{
    // The program ends through Module1, never because a box closed while the
    // room window was hidden.
    app.setQuitOnLastWindowClosed(false);
    QCoreApplication::setOrganizationName(u"Kalimo"_s);
    QCoreApplication::setApplicationName(u"voice"_s);
    inizializzaRisorse();

    DialoghiQt dialoghiQt;
    ServiziVoce servizi;
    servizi.dialoghi = &dialoghiQt;
    IntervalliVoce intervalli;
    session::SessionTimings tempi;
    FabbricaAudio fabbrica = [] { return MezziAudio{std::make_unique<QtAudioBackend>(), nullptr}; };
    AudioSettings impostazioni(QCoreApplication::organizationName(),
                               QCoreApplication::applicationName());
    AgganciProva agganci(QProcessEnvironment::systemEnvironment());
    agganci.applica(servizi, intervalli, tempi, fabbrica, impostazioni);

    // The master's ticket for the room, from the lobby: read once, and kept
    // from any program started from here.
    const QString biglietto = qEnvironmentVariable(kVariabileBiglietto);
    qunsetenv(kVariabileBiglietto);
    const QByteArray chiave = QByteArray::fromHex(qgetenv(kVariabileChiave));
    qunsetenv(kVariabileChiave);
    servizi.creaCanale = [fabbrica, impostazioni, tempi, biglietto,
                          chiave]() -> std::unique_ptr<CanaleStanza> {
        auto canale = std::make_unique<CanaleMedia>(fabbrica, impostazioni, tempi);
        canale->setBiglietto(biglietto);
        canale->setChiaveHost(chiave);
        return canale;
    };
    if (!servizi.impostaAudio) {
        Dialoghi* dialoghi = servizi.dialoghi;
        servizi.impostaAudio = [fabbrica, impostazioni, dialoghi](QWidget* padre) {
            // Its own devices on this thread: the engine's are not open yet.
            MezziAudio mezzi = fabbrica();
            frmImpostaAudio finestra(*mezzi.backend, impostazioni, *dialoghi, padre);
            return finestra.exec() == QDialog::Accepted;
        };
    }

    Module1 modulo(servizi, intervalli);
    // SIGTERM is how the lobby closes an older voice client: as `chiudi`.
    onTerminationSignal(&app, [&modulo](int) { modulo.ChiusuraRichiesta(); });
    if (!modulo.SubMain(testoDaArgomenti(QCoreApplication::arguments())))
        return modulo.codiceUscita();
    const int codice = QApplication::exec();
    return modulo.terminato() ? modulo.codiceUscita() : codice;
}

} // namespace kalimo::voce
