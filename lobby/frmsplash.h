#pragma once

#include <QDialog>
#include <QTimer>

#include <memory>

namespace Ui {
class frmSplash;
}

namespace kalimo::lobby {

class Module1;

// The welcome picture shown before the main window. It closes by itself
// when `Timer` runs out, or at the first click on Entra or on the frame, or
// at any key.
class frmSplash final : public QDialog
{
    Q_OBJECT

public:
    explicit frmSplash(Module1& modulo, QWidget* parent = nullptr);
    ~frmSplash() override;

protected:
    void showEvent(QShowEvent* evento) override;
    bool eventFilter(QObject* oggetto, QEvent* evento) override;

private:
    QTimer Timer;

    void chiudi();

    std::unique_ptr<Ui::frmSplash> ui;
};

} // namespace kalimo::lobby
