#pragma once

#include "protocol/message.h"

#include <QImage>
#include <QList>
#include <QTimer>
#include <QWidget>

#include <memory>
#include <optional>

class QCloseEvent;

namespace Ui {
class frmListaStanze;
}

namespace kalimo {
class GrigliaTabella;
class Stanza;
class Griglia;
} // namespace kalimo

namespace kalimo::lobby {

class Module1;

// The room directory: lists the master's rooms in a grid, refreshes them
// every minute, and enters the chosen room by starting the voice client.
class frmListaStanze final : public QWidget
{
    Q_OBJECT

public:
    explicit frmListaStanze(Module1& modulo, QWidget* parent = nullptr);
    ~frmListaStanze() override;

    // False during the automatic refresh: only some outcomes are reported then.
    bool MostraMessaggi = true;
    bool OperazioneAnnullata = false;
    // 0 none yet, 1 ascending, 2 descending.
    int OrdineGriglia = 0;

    // The automatic refresh: stopped for good, or its next tick at once.
    void FermaAggiornamento() { tmrAvvio.stop(); }
    void AggiornaSubito() { tmrAvvio.start(1); }

    Griglia& griglia() const;
    bool elencoInCorso() const { return m_elencoInCorso; }

protected:
    void closeEvent(QCloseEvent* evento) override;

private Q_SLOTS:
    void tmrAvvio_Timer();
    void CmdAggiorna_Click();
    void cmdAnnulla_Click();
    void cmdEsci_Click();
    void cmdAccedi_Click();
    void grd_Click(int riga, int colonna);

private:
    QTimer tmrAvvio;
    void Form_Load();
    void ImpostaFinestra();
    void ImpostaGriglia();
    void AggiornaListaStanze();
    void RichiediListaStanze();
    void elencaListe();
    // The rooms of one list; false when the listing must stop.
    bool elencaStanze(int lista);
    // False when the record cannot be read: the listing ends there.
    bool AggiungiStanza(const QStringList& campi);
    // The index of the selected row's room in ListaStanze; 0 when none.
    int indiceScelto() const;
    // False when the user cancelled, the master did not answer or the
    // password was wrong (told, after the pause).
    bool passwordAccettata(Stanza& corrente);
    // One request of the listing; its reply, or nothing when the listing must
    // stop. `sempre`: its cancel and time-out are reported even while refreshing.
    std::optional<Message> richiesta(QStringView codice, const QStringList& parametri, bool sempre);
    void messaggio(const QString& testo, const QString& titolo);
    // Ends the window; while one of its own routines still runs, once that returns.
    void scarica();

    static constexpr int kMassimoSegnaposto = 500;

    Module1& m;
    std::unique_ptr<Ui::frmListaStanze> ui;
    std::unique_ptr<GrigliaTabella> m_griglia;
    QImage picLogo;
    QImage PicLucchetto;
    // The head count the master reported for each room of ListaStanze.
    QList<int> m_presenti;
    bool m_elencoInCorso = false;
    // Routines of this window running now; the window goes only when none is left.
    int m_occupata = 0;
    bool m_inAccesso = false;
    bool m_chiusa = false;
};

} // namespace kalimo::lobby
