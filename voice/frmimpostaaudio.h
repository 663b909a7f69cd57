#pragma once

#include "platform/desktop/dialoghi.h"
#include "platform/voiceengine/audiobackend.h"
#include "platform/voiceengine/audiosettings.h"

#include <QDialog>

#include <memory>

namespace Ui {
class frmImpostaAudio;
}

namespace kalimo {
class AudioSetupProbe;
} // namespace kalimo

namespace kalimo::voce {

// The audio set-up of a first use: the user picks the microphone and the
// speaker, watches the microphone's level, hears a test sound, and saves.
// Accepted once the choice is saved.
class frmImpostaAudio final : public QDialog
{
    Q_OBJECT

public:
    // The backend must outlive the window.
    frmImpostaAudio(AudioBackend& backend, AudioSettings impostazioni, Dialoghi& dialoghi,
                    QWidget* parent = nullptr);
    ~frmImpostaAudio() override;

private:
    void ingressoScelto();
    void prova();
    void salva();
    void errore(const VoiceResult& esito);

    std::unique_ptr<Ui::frmImpostaAudio> ui;
    std::unique_ptr<AudioSetupProbe> m_sonda;
    AudioSettings m_impostazioni;
    Dialoghi& m_dialoghi;
};

} // namespace kalimo::voce
