#pragma once

#include <QTcpSocket>
#include <QTimer>
#include <QWidget>

#include <memory>

class QLabel;

namespace Ui {
class frmClient;
}

namespace kalimo {

class Module1;

// The lobby's main window: connect, the list and room buttons, help,
// settings, exit, and the status line. It owns the master socket and the
// reply timer.
class frmClient final : public QWidget
{
    Q_OBJECT

public:
    explicit frmClient(Module1& modulo, QWidget* parent = nullptr);
    ~frmClient() override;

    // True once the user asked to stop or a refusal ended the attempt.
    bool InterrompiConnessione = false;
    QTimer tmrControllo;
    QTcpSocket WSKMaster;
    // The voice-link sockets (WSKVoice, element 0 the listener) join here
    // with the voice link.

    // Buttons, captions and status of a lobby without a master connection.
    void ImpostaNonConnesso();
    QLabel* lblStato() const;

private Q_SLOTS:
    void cmdConnettiti_Click();
    void cmdGuida_Click();
    void cmdOpzioni_Click();
    void cmdEsci_Click();
    void tmrControllo_Timer();

private:
    void Form_Load();

    Module1& m;
    std::unique_ptr<Ui::frmClient> ui;
};

} // namespace kalimo
