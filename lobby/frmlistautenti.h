#pragma once

#include <QTimer>
#include <QWidget>

#include <memory>

namespace Ui {
class frmListaUtenti;
}

namespace kalimo {
class Griglia;
} // namespace kalimo

namespace kalimo::lobby {

class Module1;

// The contact list with each contact's presence, refreshed from the master
// 2 s after opening and then every minute; add (by the other user's
// consent), delete, and contact for a private chat.
class frmListaUtenti final : public QWidget
{
    Q_OBJECT

public:
    explicit frmListaUtenti(Module1& modulo, QWidget* parent = nullptr);
    ~frmListaUtenti() override;

    bool MostraMessaggi = true;
    bool OperazioneAnnullata = false;
    int OrdineGriglia = 0;

    // The automatic refresh: stopped for good, or its next tick at once.
    void FermaAggiornamento() { tmrAvvio.stop(); }
    void AggiornaSubito() { tmrAvvio.start(1); }

    // Adds the row of ContactList entry `Ind`.
    void AggiungiCT(int Ind);
    Griglia& griglia() const { return *m_griglia; }
    bool aggiornamentoInCorso() const { return m_aggiornamentoInCorso; }
    // Closed: gone as soon as events run; a new open makes a new window.
    bool scaricata() const { return m_chiusa; }

protected:
    void closeEvent(QCloseEvent* evento) override;

private Q_SLOTS:
    void tmrAvvio_Timer();
    void cmdAggionaCL_Click();
    void cmdAggiungiCL_Click();
    void cmdEliminaCL_Click();
    void cmdContattaCL_Click();
    void CmdAnnullaCL_Click();
    void cmdEsciCL_Click();
    void grd_Click(int riga, int colonna);

private:
    QTimer tmrAvvio;
    void Form_Load();
    void ImpostaFinestra();
    void ImpostaGriglia();
    void AggiornaContactList();
    void RichiediStatoContatti();
    // The nick of the selected contact row; empty when none is selected.
    QString nickSelezionato() const;
    void avviso(const QString& testo);

    Module1& m;
    std::unique_ptr<Ui::frmListaUtenti> ui;
    std::unique_ptr<Griglia> m_griglia;
    bool m_aggiornamentoInCorso = false;
    // A delete during a refresh asks it to start over with the new list.
    bool m_ricomincia = false;
    // Closed while a refresh waited: unloaded once that refresh unwinds.
    bool m_chiusa = false;
};

} // namespace kalimo::lobby
