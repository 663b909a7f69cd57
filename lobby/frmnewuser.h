#pragma once

#include <QWidget>

#include <memory>
#include <optional>

class QLabel;

namespace Ui {
class frmNewUser;
}

namespace kalimo::lobby {

class Module1;
struct MasterRecord;

// Activation of the service on this computer: a new account, or one made
// elsewhere, is registered with the master and saved in User.ini.
class frmNewUser final : public QWidget
{
    Q_OBJECT

public:
    // Outcome of InviaRegistrazione.
    enum EsitoRegistrazione {
        Eseguita = 1,
        NomeEsistente = 2,
        ServizioNonDisponibile = 3,
        DatiNonCorretti = 4,
        GiaRegistrato = 5,
        NessunaRisposta = 6
    };

    explicit frmNewUser(Module1& modulo, QWidget* parent = nullptr);
    ~frmNewUser() override;

    QLabel* lblStato() const;

protected:
    void closeEvent(QCloseEvent* evento) override;

private Q_SLOTS:
    void cmdInvia_Click();
    void cmdEsci_Click();
    void cmdSemplice_Click();

private:
    bool ControllaDati();
    bool rifiuta(const QString& testo);
    bool ConnettiMaster(const MasterRecord& record);
    EsitoRegistrazione InviaRegistrazione(const MasterRecord& record);
    // Registers on the first master that takes the connection; nothing when none does.
    std::optional<EsitoRegistrazione> registraSulPrimoMaster();
    void mostraEsito(EsitoRegistrazione esito);
    // The account goes in User.ini and the main window takes over.
    void attivaAccount();
    bool SalvaUtente();
    void chiudiWSKNew();
    // The fields as they go on the wire: trimmed, without the framing's
    // control characters.
    QString userName() const;
    QString password() const;

    Module1& m;
    std::unique_ptr<Ui::frmNewUser> ui;
    // A registration is running: closing now only hides the window and
    // stops the waits; the window closes once the registration has unwound.
    bool m_inCorso = false;
    bool m_annullata = false;
};

} // namespace kalimo::lobby
