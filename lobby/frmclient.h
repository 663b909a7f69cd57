#pragma once

#include "lobby/elementivoce.h"
#include "lobby/module1.h"
#include "protocol/message.h"

#include <QWidget>

#include <memory>

class QLabel;

namespace Ui {
class frmClient;
}

namespace kalimo::lobby {

// The lobby's main window: connect, the list and room buttons, help,
// settings, exit, and the status line. It owns the voice-link sockets; the
// master connection is Module1's.
class frmClient final : public QWidget
{
    Q_OBJECT

public:
    // Outcome of LoginMaster.
    enum EsitoLogin : qint16 {
        Accettato = 1,
        CredenzialiErrate = 2,
        MasterPieno = 3,
        NessunaDecisione = 4,
        NonAbilitato = 5,
        GiaCollegato = 6,
        AutenticatoreNonInLinea = 7
    };

    explicit frmClient(Module1& modulo, QWidget* parent = nullptr);
    ~frmClient() override;

    // True once the user asked to stop or a refusal ended the attempt.
    bool InterrompiConnessione = false;

    // The voice links, to look at; only this window changes them.
    const ElementiVoce& collegamentiVoce() const { return WSKVoice; }
    // Closes voice link `indice` from our side.
    void ChiudiVoce(int indice) { WSKVoice.Chiudi(indice); }

    // Buttons, captions and status of a lobby without a master connection.
    void ImpostaNonConnesso();
    QLabel* lblStato() const;

    // Makes element 0 of WSKVoice listen for the voice client; false when
    // the port cannot be had.
    bool AvviaAscoltoVoice();

protected:
    void closeEvent(QCloseEvent* evento) override;

Q_SIGNALS:
    // Whole voice-link messages as they arrive, before they are handled.
    void datiVoceArrivati(const QString& dati);

private Q_SLOTS:
    void cmdConnettiti_Click();
    void cmdGuida_Click();
    void cmdListaUtenti_Click();
    void cmdListaStanze_Click();
    void cmdNuovaStanza_Click();
    void cmdOpzioni_Click();
    void cmdEsci_Click();
    void WSKMaster_Close();
    void WSKVoice_ConnectionRequest();
    void WSKVoice_Close(int Index);
    void WSKVoice_DataArrival(int Index, const QString& dati);

private:
    ElementiVoce WSKVoice;

    void Form_Load();
    // The body of cmdConnettiti_Click.
    void Connetti();
    bool ConnettiMaster(const MasterRecord& record);
    EsitoLogin LoginMaster(const MasterRecord& record);
    void AggiornaListaMaster();
    void LeggiParametriMaster();
    // A master record of the "00010" reply, if Masters.txt can hold it.
    static std::optional<MasterRecord> recordMaster(const QStringList& campi);
    void ControllaVersione();
    // Requests of the voice client (private rooms); handled with the
    // private-room procedures.
    void GestisciDatiArrivatiVoice(const QString& DA);
    // Closes the master connection from our side: the close event is for the other side's close
    // only.
    void chiudiWSKMaster();
    // The window of a successful login, then the exchanges that follow it.
    void loginAccettato();
    // The status line and box of a refused login; all but a full master end the attempt.
    void loginRifiutato(EsitoLogin esito);
    void impostaDidascalia(const QString& testo);
    bool fermato() const;

    Module1& m;
    std::unique_ptr<Ui::frmClient> ui;
    // Voice-link requests waiting for the running one to finish.
    QList<Message> m_richiesteVoce;
    bool m_inRichiestaVoce = false;
    // Clicks on cmdConnettiti still running (a stop click runs inside the
    // attempt's wait). Closing meanwhile stops the attempt and waits for it.
    int m_clickInCorso = 0;
    bool m_chiusuraRimandata = false;
};

} // namespace kalimo::lobby
