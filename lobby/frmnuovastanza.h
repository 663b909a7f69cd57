#pragma once

#include <QWidget>

#include <memory>

class QCloseEvent;

namespace Ui {
class frmNuovaStanza;
}

namespace kalimo::lobby {

class Module1;

// Room creation: the master creates the room within its limits, and the
// voice client is started for it.
class frmNuovaStanza final : public QWidget
{
    Q_OBJECT

public:
    explicit frmNuovaStanza(Module1& modulo, QWidget* parent = nullptr);
    ~frmNuovaStanza() override;

protected:
    void closeEvent(QCloseEvent* evento) override;

private Q_SLOTS:
    void cmdCreala_Click();
    void cmdEsci_Click();

private:
    void Form_Load();
    bool ControllaDati();
    // The creation exchange and the launch; true when the voice client started.
    bool crea();
    void mostraModulo(bool modulo);
    void messaggio(const QString& testo);

    Module1& m;
    std::unique_ptr<Ui::frmNuovaStanza> ui;
    // A creation is running: closing the window waits for it to unwind.
    bool m_inAttesa = false;
    bool m_chiusa = false;
};

} // namespace kalimo::lobby
