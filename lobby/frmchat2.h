#pragma once

#include <QTimer>
#include <QWidget>

#include <memory>

namespace Ui {
class frmChat2;
}

namespace kalimo::lobby {

class Module1;

// A private text conversation with one partner, outside any room. The
// user's own lines are not written here: the master echoes them back.
// Its buttons only hide it; it lives in FinestreChat until the program ends.
class frmChat2 final : public QWidget
{
    Q_OBJECT

public:
    explicit frmChat2(Module1& modulo, QWidget* parent = nullptr);
    ~frmChat2() override;

    bool UtenteIgnorato = false;
    void SetTarget(const QString& Tar);
    const QString& SetTarget() const { return m_target; }

    // Appends one line to the transcript and keeps the newest line in view.
    void AggiungiRiga(const QString& riga);
    QString Trascrizione() const;

    // Re-arms "Invita" now rather than when its time runs out.
    void RiarmaInvita() { TimerContatta.start(1); }

private Q_SLOTS:
    void cmdInvia_Click();
    void txtTesto_Enter();
    void CmdInvita_Click();
    void TimerContatta_Timer();
    void cmdNascondi_Click();
    void cmdIgnora_Click();
    void cmdChiudi_Click();
    void txtChat_Change();

private:
    // Re-arms "Invita" after an invitation.
    QTimer TimerContatta;

    void invia();
    void nonInviato();

    Module1& m;
    std::unique_ptr<Ui::frmChat2> ui;
    QString m_target;
};

} // namespace kalimo::lobby
