#include "lobby/frmnuovastanza.h"

#include "lobby/frmlistastanze.h"
#include "lobby/module1.h"
#include "platform/desktop/attesa.h"
#include "protocol/codes.h"
#include "protocol/framing.h"
#include "protocol/values.h"
#include "ui_frmnuovastanza.h"

#include <QCloseEvent>

namespace kalimo::lobby {

frmNuovaStanza::frmNuovaStanza(Module1& modulo, QWidget* parent)
    : QWidget(parent), m(modulo), ui(std::make_unique<Ui::frmNuovaStanza>())
{
    ui->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose);
    connect(ui->cmdCreala, &QPushButton::clicked, this, &frmNuovaStanza::cmdCreala_Click);
    connect(ui->cmdEsci, &QPushButton::clicked, this, &frmNuovaStanza::cmdEsci_Click);
    Form_Load();
}

frmNuovaStanza::~frmNuovaStanza() = default;

void frmNuovaStanza::Form_Load()
{
    ui->txtMaxUtenti->clear();
    ui->txtMaxAudio->clear();
    for (int n = 2; n <= m.MaxUtentiStanza; ++n)
        ui->txtMaxUtenti->addItem(QString::number(n));
    for (int n = 1; n <= m.MaxUtentiAudioStanza; ++n)
        ui->txtMaxAudio->addItem(QString::number(n));
    // Nothing chosen until the user chooses.
    ui->txtMaxUtenti->setCurrentIndex(-1);
    ui->txtMaxAudio->setCurrentIndex(-1);
    mostraModulo(true);
}

void frmNuovaStanza::mostraModulo(bool modulo)
{
    ui->frm1->setVisible(modulo);
    ui->frm2->setVisible(!modulo);
}

void frmNuovaStanza::messaggio(const QString& testo)
{
    m.dialoghi().messaggio(testo, tr("Kalimo 2.0b"), Icona::Informazione, Pulsanti::Ok);
}

void frmNuovaStanza::cmdEsci_Click()
{
    close();
}

void frmNuovaStanza::closeEvent(QCloseEvent* evento)
{
    if (m_inAttesa) {
        // The master's answer is still awaited: the wait ends first.
        m_chiusa = true;
        hide();
        evento->ignore();
        return;
    }
    QWidget::closeEvent(evento);
}

bool frmNuovaStanza::ControllaDati()
{
    if (stripControlCharacters(ui->txtNomeStanza->text()).trimmed().isEmpty()) {
        messaggio(tr("Inserire un nome per la stanza"));
        return false;
    }
    if (ui->txtMaxUtenti->currentText().trimmed().isEmpty()) {
        messaggio(tr("Specificare il numero massimo di utenti per la stanza"));
        return false;
    }
    if (ui->txtMaxAudio->currentText().trimmed().isEmpty()) {
        messaggio(tr("Specificare il numero massimo di utenti che possono parlare "
                     "simultaneamente"));
        return false;
    }
    // The voice client's command line has no way to carry a "+".
    if (ui->txtNomeStanza->text().contains(u'+') || ui->txtPassword->text().contains(u'+')) {
        messaggio(tr("Il nome e la password della stanza non possono contenere il carattere "
                     "\"+\""));
        return false;
    }
    return true;
}

void frmNuovaStanza::cmdCreala_Click()
{
    if (m_inAttesa || !ControllaDati())
        return;
    m_inAttesa = true;
    const bool avviato = crea();
    m_inAttesa = false;
    if (m_chiusa)
        deleteLater();
    else if (avviato)
        close();
}

bool frmNuovaStanza::crea()
{
    mostraModulo(false);

    // Sent as typed, less the framing's control characters; what the voice
    // client gets must be what the master got.
    const QString nome = stripControlCharacters(ui->txtNomeStanza->text());
    const QString password = stripControlCharacters(ui->txtPassword->text());
    const QString maxUtenti = ui->txtMaxUtenti->currentText();
    const QString maxAudio = ui->txtMaxAudio->currentText();

    const RispostaMaster r =
        m.RichiestaAlMaster(master::request::CreateRoom, {nome, maxUtenti, maxAudio, password},
                            2 * m.intervalli().rispostaMaster, [this] { return m_chiusa; });
    if (m_chiusa || m.programmaTerminato())
        return false;

    if (r.e(master::reply::RoomNameTaken)) {
        mostraModulo(true);
        messaggio(tr("La stanza già esiste"));
        return false;
    }
    if (r.e(master::reply::RoomRefused)) {
        mostraModulo(true);
        messaggio(tr("Non è possibile creare la stanza"));
        return false;
    }
    if (!r.e(master::reply::RoomCreated)) {
        messaggio(tr("Impossibile creare la stanza"));
        mostraModulo(true);
        return false;
    }

    Attesa::Pausa(m.intervalli().pausaDatiStanza);
    if (m_chiusa || m.programmaTerminato())
        return false;
    Stanza& stanza = m.StanzaCorrente();
    stanza.Nome = nome;
    stanza.MaxUtenti = parseInt16(maxUtenti).value_or(0);
    stanza.MaxUtentiAudio = parseInt16(maxAudio).value_or(0);
    stanza.IPStanza = r.campo(0);
    stanza.PortaUtenti = r.campo(1);
    stanza.Password = password;

    if (!m.AvviaVoice(true)) {
        // The form comes back, so the user can try again or close.
        mostraModulo(true);
        return false;
    }
    if (frmListaStanze* lista = m.FrmListaStanzeEsistente())
        lista->hide();
    return true;
}

} // namespace kalimo::lobby
