#pragma once

#include <QWidget>

#include <memory>

namespace Ui {
class frmLogin;
}

namespace kalimo::lobby {

class Module1;

// Account settings: edits the user name and password kept in User.ini.
// Changes take effect at the next login.
class frmLogin final : public QWidget
{
    Q_OBJECT

public:
    explicit frmLogin(Module1& modulo, QWidget* parent = nullptr);
    ~frmLogin() override;

private Q_SLOTS:
    void cmdSalva_Click();
    void cmdAnnulla_Click();

private:
    void CaricaDati();
    bool ControllaDati();

    Module1& m;
    std::unique_ptr<Ui::frmLogin> ui;
};

} // namespace kalimo::lobby
