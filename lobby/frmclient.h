#pragma once

#include "lobby/elementivoce.h"
#include "protocol/reassembler.h"

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
struct MasterRecord;

// The lobby's main window: connect, the list and room buttons, help,
// settings, exit, and the status line. It owns the master socket, the reply
// timer and the voice-link sockets.
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
    QTimer tmrControllo;
    QTcpSocket WSKMaster;
    ElementiVoce WSKVoice;

    // Buttons, captions and status of a lobby without a master connection.
    void ImpostaNonConnesso();
    QLabel* lblStato() const;

    // Makes element 0 of WSKVoice listen for the voice client; false when
    // the port cannot be had.
    bool AvviaAscoltoVoice();
    // Handles master data that is waiting unread. A wait that runs inside the
    // handling of an arrival calls it: the socket does not signal new data
    // while its own signal is being handled.
    void LeggiMasterInSospeso();

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
    void tmrControllo_Timer();
    void WSKMaster_DataArrival();
    void WSKMaster_Close();
    void WSKVoice_ConnectionRequest();
    void WSKVoice_Close(int Index);
    void WSKVoice_DataArrival(int Index, const QString& dati);

private:
    void Form_Load();
    // The body of cmdConnettiti_Click.
    void Connetti();
    bool ConnettiMaster(const MasterRecord& record);
    EsitoLogin LoginMaster(const MasterRecord& record);
    void AggiornaListaMaster();
    void LeggiParametriMaster();
    void ControllaVersione();
    // Requests of the voice client (private rooms); handled with the
    // private-room procedures.
    void GestisciDatiArrivatiVoice(const QString& DA);
    // Closes WSKMaster from our side: the close event is for the other side's close only.
    void chiudiWSKMaster();
    void impostaDidascalia(const QString& testo);
    bool fermato() const;

    Module1& m;
    std::unique_ptr<Ui::frmClient> ui;
    StreamReassembler m_ricomposizioneMaster;
    // Voice-link requests waiting for the running one to finish.
    QList<QStringList> m_richiesteVoce;
    bool m_inRichiestaVoce = false;
    // Clicks on cmdConnettiti still running (a stop click runs inside the
    // attempt's wait). Closing meanwhile stops the attempt and waits for it.
    int m_clickInCorso = 0;
    bool m_chiusuraRimandata = false;
};

} // namespace kalimo
