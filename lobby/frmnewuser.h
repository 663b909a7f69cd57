#pragma once

#include <QWidget>

#include <memory>

class QLabel;

namespace Ui {
class frmNewUser;
}

namespace kalimo {

class Module1;

// Activation of the service on this computer: a new account, or one made
// elsewhere, is registered with the master and saved in User.ini.
class frmNewUser final : public QWidget
{
    Q_OBJECT

public:
    explicit frmNewUser(Module1& modulo, QWidget* parent = nullptr);
    ~frmNewUser() override;

    QLabel* lblStato() const;

private Q_SLOTS:
    void cmdInvia_Click();
    void cmdEsci_Click();
    void cmdSemplice_Click();

private:
    bool ControllaDati();
    bool rifiuta(const QString& testo);

    Module1& m;
    std::unique_ptr<Ui::frmNewUser> ui;
};

} // namespace kalimo
