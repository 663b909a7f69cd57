#include "voice/frmimpostaaudio.h"

#include "platform/voiceengine/audiosetupprobe.h"
#include "ui_frmimpostaaudio.h"

namespace kalimo::voce {

namespace {

void riempi(QComboBox* elenco, const QList<AudioDevice>& periferiche)
{
    for (const AudioDevice& p : periferiche) {
        elenco->addItem(p.description, p.id);
        if (p.isDefault)
            elenco->setCurrentIndex(elenco->count() - 1);
    }
}

} // namespace

frmImpostaAudio::frmImpostaAudio(AudioBackend& backend, AudioSettings impostazioni,
                                 Dialoghi& dialoghi, QWidget* parent)
    : QDialog(parent), ui(std::make_unique<Ui::frmImpostaAudio>()),
      m_sonda(std::make_unique<AudioSetupProbe>(backend)), m_impostazioni(std::move(impostazioni)),
      m_dialoghi(dialoghi)
{
    ui->setupUi(this);
    // A choice saved before keeps its echo setting; a first one starts with it on.
    if (const auto prima = m_impostazioni.load())
        ui->chkEco->setChecked(prima->echoCancel);
    riempi(ui->cboIngresso, m_sonda->inputDevices());
    riempi(ui->cboUscita, m_sonda->outputDevices());
    const bool ingressi = ui->cboIngresso->count() > 0;
    const bool uscite = ui->cboUscita->count() > 0;
    ui->cmdProva->setEnabled(uscite);
    ui->cmdSalva->setEnabled(ingressi && uscite);
    if (!ingressi || !uscite)
        ui->lblSpiegazione->setText(
            tr("Non e' stata trovata nessuna periferica audio: collega un microfono e un "
               "altoparlante e riprova."));

    connect(m_sonda.get(), &AudioSetupProbe::InputLevel, ui->pbLivello, &QProgressBar::setValue);
    connect(m_sonda.get(), &AudioSetupProbe::TestSoundFinished, this,
            [this] { ui->cmdProva->setEnabled(true); });
    connect(ui->cboIngresso, &QComboBox::currentIndexChanged, this,
            &frmImpostaAudio::ingressoScelto);
    connect(ui->cmdProva, &QPushButton::clicked, this, &frmImpostaAudio::prova);
    connect(ui->cmdSalva, &QPushButton::clicked, this, &frmImpostaAudio::salva);
    connect(ui->cmdAnnulla, &QPushButton::clicked, this, &QDialog::reject);
    if (ingressi)
        ingressoScelto();
}

frmImpostaAudio::~frmImpostaAudio()
{
    m_sonda->stopInputLevel();
    m_sonda->stopTestSound();
}

void frmImpostaAudio::ingressoScelto()
{
    ui->pbLivello->setValue(0);
    const VoiceResult esito =
        m_sonda->startInputLevel(ui->cboIngresso->currentData().toByteArray());
    if (!esito.ok())
        errore(esito);
}

void frmImpostaAudio::prova()
{
    const VoiceResult esito = m_sonda->playTestSound(ui->cboUscita->currentData().toByteArray());
    if (!esito.ok()) {
        errore(esito);
        return;
    }
    ui->cmdProva->setEnabled(false);
}

void frmImpostaAudio::salva()
{
    AudioDeviceChoice scelta;
    scelta.inputId = ui->cboIngresso->currentData().toByteArray();
    scelta.inputName = ui->cboIngresso->currentText();
    scelta.outputId = ui->cboUscita->currentData().toByteArray();
    scelta.outputName = ui->cboUscita->currentText();
    scelta.echoCancel = ui->chkEco->isChecked();
    const VoiceResult esito = m_impostazioni.save(scelta);
    if (!esito.ok()) {
        errore(esito);
        return;
    }
    accept();
}

void frmImpostaAudio::errore(const VoiceResult& esito)
{
    m_dialoghi.messaggio(tr("La periferica audio scelta non funziona: ") + esito.detail,
                         windowTitle(), Icona::Avviso, Pulsanti::Ok);
}

} // namespace kalimo::voce
