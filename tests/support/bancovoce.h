#pragma once

#include "platform/desktop/attesa.h"
#include "protocol/separators.h"
#include "tests/support/fakedialoghi.h"
#include "tests/support/wire.h"
#include "voice/canalestanza.h"
#include "voice/frmvoiceclient.h"
#include "voice/module1.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QQueue>
#include <QTimer>

#include <functional>
#include <memory>

namespace kalimo::test {

using namespace kalimo::voce;

const QString kRiga = "127.0.0.1 + 10 + 2 + Sala  Blu + pass word + 2302 + Ana + 1.2.3.4 + "
                      "Kalimo 2.0b +  + 3";

// The session and voice engine as the window sees them, answered by the test.
struct FakeCanale final : CanaleStanza
{
    void EnumHosts(const QString& h, quint16 p) override
    {
        chiamate << QString("enum %1:%2").arg(h).arg(p);
        if (rispondeEnum)
            QTimer::singleShot(0, this, [this] { Q_EMIT EnumHostsResponse(); });
    }
    void StopEnumHosts() override { chiamate << "stopenum"; }
    void Connect(const QString& n, const QString& p) override
    {
        chiamate << "connect " + n + "/" + p;
        QTimer::singleShot(0, this, [this] { Q_EMIT ConnectComplete(esitoConnect); });
    }
    void Send(const QString& t) override { inviati << t; }
    void ConnettiVoce(const VoiceClientConfig& c) override
    {
        chiamate << "voce";
        configurazioni << c;
        const VoiceResult r = esitiVoce.isEmpty() ? VoiceResult{} : esitiVoce.dequeue();
        QTimer::singleShot(0, this, [this, r] { Q_EMIT VoceConnessa(r); });
    }
    void SetClientConfig(const VoiceClientConfig& c) override { configurazioni << c; }
    void RimuoviParlante(qint32 id) override { chiamate << QString("rimuovi %1").arg(id); }
    void DisconnettiVoce() override { chiamate << "disconnetti"; }
    void Close() override { chiamate << "close"; }
    void Rilascia(Oggetto o) override { chiamate << QString("rilascia %1").arg(int(o)); }
    void ImpostaLivelloMembro(qint32 id, const QString& n,
                              const AudioSettings::MemberLevel& l) override
    {
        livelli << QString("%1 %2 %3%4").arg(id).arg(n).arg(l.percent).arg(l.muted ? " muto" : "");
        CanaleStanza::ImpostaLivelloMembro(id, n, l);
    }

    bool rispondeEnum = true;
    int esitoConnect = 0;
    QQueue<VoiceResult> esitiVoce;
    QStringList chiamate, inviati, livelli;
    QList<VoiceClientConfig> configurazioni;
};

const QStringList kPulizia{"disconnetti", "close", "rilascia 0", "rilascia 1", "rilascia 2"};

struct Banco
{
    explicit Banco(Dialoghi* altri = nullptr, IntervalliVoce intervalli = {30, 0, 2000, 60000})
    {
        Attesa::riprendi();
        ServiziVoce s;
        s.dialoghi = altri ? altri : &dialoghi;
        s.creaCanale = [this] { return std::move(pronto); };
        s.impostaAudio = [this](QWidget*) {
            if (duranteImpostazioni)
                duranteImpostazioni();
            return ++impostazioni > 0;
        };
        s.termina = [this](int c) { codice = c; };
        modulo = std::make_unique<voce::Module1>(s, intervalli);
    }
    bool avvia(const QString& riga = kRiga) { return modulo->SubMain(riga); }
    frmVoiceClient& f() { return *modulo->finestra(); }
    template <class T = QWidget> T* w(const char* nome) { return f().findChild<T*>(nome); }
    QString etichetta(const char* nome) { return w<QLabel>(nome)->text(); }
    void arriva(const QString& testo) { Q_EMIT canale->Receive(wire(testo)); }
    QStringList righe()
    {
        QStringList r;
        for (int i = 1; i < f().griglia().righe(); ++i)
            r << f().griglia().testo(i, 1) + (f().griglia().haImmagine(i, 2) ? "*" : "");
        return r;
    }
    void tasto(QEvent::Type tipo, Qt::KeyboardModifiers m)
    {
        QKeyEvent e(tipo, Qt::Key_Control, m);
        QApplication::sendEvent(w("grdUtenti"), &e);
    }

    FakeDialoghi dialoghi;
    // Scripted before avvia(); the window takes it over when it loads.
    std::unique_ptr<FakeCanale> pronto = std::make_unique<FakeCanale>();
    FakeCanale* canale = pronto.get();
    int impostazioni = 0;
    // Runs while the audio set-up window would be open.
    std::function<void()> duranteImpostazioni;
    int codice = -1;
    std::unique_ptr<voce::Module1> modulo;
};

} // namespace kalimo::test
