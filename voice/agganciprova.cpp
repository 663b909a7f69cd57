#include "voice/agganciprova.h"

#include "platform/termination/standardinput.h"
#include "platform/voiceengine/syntheticaudiobackend.h"
#include "voice/frmchat.h"
#include "voice/frmvoiceclient.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QQueue>
#include <QTimer>

#include <cmath>
#include <numbers>

using namespace Qt::StringLiterals;

namespace kalimo::voce {

namespace {

class Traccia final
{
public:
    explicit Traccia(const QString& percorso) : m_file(percorso)
    {
        if (!percorso.isEmpty())
            (void)m_file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered);
    }
    void scrivi(const QStringList& campi)
    {
        if (!m_file.isOpen())
            return;
        QString riga = campi.join(u'|');
        riga.replace(u'\r', u"\\r"_s).replace(u'\n', u"\\n"_s);
        m_file.write((riga + u'\n').toUtf8());
    }

private:
    QFile m_file;
};

QString nomePulsanti(Pulsanti p)
{
    switch (p) {
    case Pulsanti::Ok:
        return u"ok"_s;
    case Pulsanti::OkAnnulla:
        return u"ok-cancel"_s;
    case Pulsanti::SiNo:
        return u"yes-no"_s;
    case Pulsanti::SiNoAnnulla:
        return u"yes-no-cancel"_s;
    }
    return {};
}

// Boxes that answer from a script and never wait.
class DialoghiProva final : public Dialoghi
{
public:
    DialoghiProva(Traccia& traccia, const QString& risposte) : m_traccia(traccia)
    {
        for (const QString& r : risposte.split(u',', Qt::SkipEmptyParts))
            m_risposte.enqueue(r.trimmed().toLower());
    }
    Risposta messaggio(const QString& testo, const QString& titolo, Icona,
                       Pulsanti pulsanti) override
    {
        m_traccia.scrivi({u"box"_s, titolo, testo, nomePulsanti(pulsanti)});
        const QString r = m_risposte.isEmpty() ? QString() : m_risposte.dequeue();
        if (r == u"no")
            return Risposta::No;
        if (r == u"cancel")
            return Risposta::Annulla;
        const bool si = pulsanti == Pulsanti::SiNo || pulsanti == Pulsanti::SiNoAnnulla;
        return si ? Risposta::Si : Risposta::Ok;
    }
    QString input(const QString& titolo, const QString& richiesta, const QString&) override
    {
        m_traccia.scrivi({u"input"_s, titolo, richiesta});
        return {};
    }

private:
    Traccia& m_traccia;
    QQueue<QString> m_risposte;
};

// The window's grid, writing a trace line at every refresh.
class GrigliaTracciata final : public Griglia
{
public:
    GrigliaTracciata(Griglia& vera, Traccia& traccia) : m_vera(vera), m_traccia(traccia) {}

    bool valida() const override { return m_vera.valida(); }
    int righe() const override { return m_vera.righe(); }
    void impostaRighe(int r) override { m_vera.impostaRighe(r); }
    int colonne() const override { return m_vera.colonne(); }
    void impostaColonne(int c) override { m_vera.impostaColonne(c); }
    void impostaLarghezzaColonna(int c, int t) override { m_vera.impostaLarghezzaColonna(c, t); }
    int larghezzaColonna(int c) const override { return m_vera.larghezzaColonna(c); }
    void impostaAllineamentoSinistra(int c) override { m_vera.impostaAllineamentoSinistra(c); }
    QString testo(int r, int c) const override { return m_vera.testo(r, c); }
    void impostaTesto(int r, int c, const QString& t) override { m_vera.impostaTesto(r, c, t); }
    void impostaImmagine(int r, int c, const QImage& i) override
    {
        m_vera.impostaImmagine(r, c, i);
    }
    bool haImmagine(int r, int c) const override { return m_vera.haImmagine(r, c); }
    void aggiungiRiga(const QString& t) override { m_vera.aggiungiRiga(t); }
    void impostaDatoRiga(int r, int d) override { m_vera.impostaDatoRiga(r, d); }
    int datoRiga(int r) const override { return m_vera.datoRiga(r); }
    int rigaCorrente() const override { return m_vera.rigaCorrente(); }
    int colonnaCorrente() const override { return m_vera.colonnaCorrente(); }
    void impostaCellaCorrente(int r, int c) override { m_vera.impostaCellaCorrente(r, c); }
    int rigaFineSelezione() const override { return m_vera.rigaFineSelezione(); }
    void pulisci() override { m_vera.pulisci(); }
    void ordina(int a, int b, int c, bool asc) override { m_vera.ordina(a, b, c, asc); }
    void aggiorna() override
    {
        m_vera.aggiorna();
        // A speaker's row carries the microphone: written as "nick*".
        QStringList righe;
        for (int r = 1; r < m_vera.righe(); ++r)
            righe.append(m_vera.testo(r, 1) + (m_vera.haImmagine(r, 2) ? u"*"_s : QString()));
        m_traccia.scrivi({u"grid"_s, righe.join(u',')});
    }

private:
    Griglia& m_vera;
    Traccia& m_traccia;
};

// Moves the synthetic devices' virtual time on with the clock, and writes
// what they play, so another process can tell what was heard and when.
class GuidaSintetica final : public QObject
{
public:
    static constexpr int kFinestra = kSampleRate / 10;

    GuidaSintetica(SyntheticAudioBackend& backend, const QString& registrazione)
        : m_backend(backend), m_file(registrazione)
    {
        if (!registrazione.isEmpty())
            (void)m_file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered);
        m_orologio.start();
        m_timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&m_timer, &QTimer::timeout, this, [this] { passo(); });
        m_timer.start(SyntheticAudioBackend::kTickMs);
    }

private:
    void passo()
    {
        // A late tick catches up, but never with more than a fifth of a second at once.
        const qint64 dovuto =
            m_orologio.elapsed() / SyntheticAudioBackend::kTickMs * SyntheticAudioBackend::kTickMs;
        const int ms = int(std::min<qint64>(dovuto - m_fatto, 200));
        m_fatto = dovuto;
        if (ms > 0)
            m_backend.advance(ms);
        registra();
    }
    void registra()
    {
        const QVector<qint16>& suonato = m_backend.played();
        if (suonato.size() < m_letti)
            m_letti = 0; // a new playback stream
        while (suonato.size() - m_letti >= kFinestra) {
            // Crossings count only between clear swings: the low noise of a window where a
            // tone fades would otherwise add crossings and pass for a higher pitch.
            constexpr int kSoglia = 500;
            double energia = 0;
            int passaggi = 0, segno = 0;
            for (qsizetype i = m_letti; i < m_letti + kFinestra; ++i) {
                energia += double(suonato[i]) * suonato[i];
                const int ora = suonato[i] > kSoglia ? 1 : suonato[i] < -kSoglia ? -1 : 0;
                if (ora != 0 && ora != segno) {
                    passaggi += segno != 0;
                    segno = ora;
                }
            }
            m_letti += kFinestra;
            if (m_file.isOpen())
                m_file.write(QStringLiteral("%1 %2 %3\n")
                                 .arg(QDateTime::currentMSecsSinceEpoch())
                                 .arg(qRound(std::sqrt(energia / kFinestra)))
                                 .arg(passaggi * 5)
                                 .toUtf8());
        }
        if (m_letti > 60 * kFinestra) {
            m_backend.clearPlayed();
            m_letti = 0;
        }
    }

    SyntheticAudioBackend& m_backend;
    QFile m_file;
    QTimer m_timer;
    QElapsedTimer m_orologio;
    qint64 m_fatto = 0;
    qsizetype m_letti = 0;
};

// Tone bursts: a voice-activated gate opens on them, and a denoiser does not
// learn them as noise the way it learns a steady tone.
SignalSource toneAIntervalli(double hz)
{
    if (hz <= 0)
        return SignalSource::silence();
    auto fase = std::make_shared<qint64>(0);
    return SignalSource([hz, fase](qint16* out, int count) {
        const qint64 periodo = samplesForMs(600), acceso = samplesForMs(400);
        for (int i = 0; i < count; ++i, ++*fase) {
            const bool suona = *fase % periodo < acceso;
            const double t = double(*fase) / kSampleRate;
            out[i] = suona ? qint16(0.3 * 32767 * std::sin(2 * std::numbers::pi * hz * t)) : 0;
        }
    });
}

} // namespace

struct AgganciProva::Stato
{
    QProcessEnvironment ambiente;
    std::unique_ptr<Traccia> traccia;
    std::unique_ptr<DialoghiProva> dialoghi;
    std::unique_ptr<GrigliaTracciata> griglia;
    bool comandi = false;
    QByteArray ricevuto;
    frmVoiceClient* finestra = nullptr;

    QString valore(const char* nome) const { return ambiente.value(QString::fromLatin1(nome)); }
    void comando(const QString& riga);
    void leggiComandi(const QByteArray& dati);
    bool scegliRiga(const QString& nick);
    void scrivi(QWidget* chat, const QString& testo);
};

void AgganciProva::Stato::comando(const QString& riga)
{
    if (!finestra)
        return;
    const QString verbo = riga.section(u' ', 0, 0);
    const QString argomento = riga.section(u' ', 1).trimmed();
    const auto pulsante = [this](const char* nome) {
        return finestra->findChild<QAbstractButton*>(QString::fromLatin1(nome));
    };
    if (verbo == u"talk")
        pulsante("perla")->click();
    else if (verbo == u"mute")
        pulsante("muto")->click();
    else if (verbo == u"close")
        pulsante("chiudi")->click();
    else if (verbo == u"close-window")
        finestra->close();
    else if (verbo == u"press" || verbo == u"release") {
        QAbstractButton* parla = pulsante("cmdParla");
        const Qt::MouseButton tasto = argomento == u"right" ? Qt::RightButton : Qt::LeftButton;
        const QPointF centro = QRectF(parla->rect()).center();
        QMouseEvent evento(verbo == u"press" ? QEvent::MouseButtonPress
                                             : QEvent::MouseButtonRelease,
                           centro, parla->mapToGlobal(centro), tasto,
                           verbo == u"press" ? tasto : Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(parla, &evento);
    } else if (verbo == u"ctrl-down" || verbo == u"ctrl-up") {
        const bool giu = verbo == u"ctrl-down";
        QKeyEvent evento(giu ? QEvent::KeyPress : QEvent::KeyRelease, Qt::Key_Control,
                         giu ? Qt::ControlModifier : Qt::NoModifier);
        QWidget* bersaglio = finestra->focusWidget() ? finestra->focusWidget() : finestra;
        QApplication::sendEvent(bersaglio, &evento);
    } else if (verbo == u"invite") {
        if (scegliRiga(argomento))
            pulsante("cmdStanzaPrivata")->click();
    } else if (verbo == u"chat-public") {
        pulsante("cmdChatTestuale")->click();
        scrivi(finestra->chat().ChatPubblica(), argomento);
    } else if (verbo == u"chat-private") {
        const QString nick = argomento.section(u' ', 0, 0);
        if (!scegliRiga(nick))
            return;
        pulsante("cmdChatPrivata")->click();
        scrivi(finestra->chat().ChatPrivata(nick), argomento.section(u' ', 1));
    }
}

bool AgganciProva::Stato::scegliRiga(const QString& nick)
{
    Griglia& g = finestra->griglia();
    for (int r = 1; r < g.righe(); ++r) {
        if (g.testo(r, 1) == nick) {
            g.impostaCellaCorrente(r, 1);
            return true;
        }
    }
    return false;
}

void AgganciProva::Stato::scrivi(QWidget* chat, const QString& testo)
{
    auto* riga = chat ? chat->findChild<QLineEdit*>(u"txtTesto"_s) : nullptr;
    if (!riga)
        return;
    riga->setText(testo);
    chat->findChild<QAbstractButton*>(u"cmdInvia"_s)->click();
}

void AgganciProva::Stato::leggiComandi(const QByteArray& dati)
{
    ricevuto.append(dati);
    if (ricevuto.size() > 64 * 1024)
        ricevuto.clear(); // no command is that long
    qsizetype fine;
    while ((fine = ricevuto.indexOf('\n')) >= 0) {
        const QString riga = QString::fromUtf8(ricevuto.left(fine)).trimmed();
        ricevuto.remove(0, fine + 1);
        comando(riga);
    }
}

AgganciProva::AgganciProva(const QProcessEnvironment& ambiente) : m_stato(std::make_unique<Stato>())
{
    m_stato->ambiente = ambiente;
}

AgganciProva::~AgganciProva() = default;

void AgganciProva::applica(ServiziVoce& servizi, IntervalliVoce& intervalli,
                           session::SessionTimings& tempi, FabbricaAudio& fabbrica,
                           AudioSettings& impostazioni)
{
    Stato& s = *m_stato;
    const QString fileImpostazioni = s.valore("KALIMO_AUDIO_SETTINGS");
    if (!fileImpostazioni.isEmpty())
        impostazioni = AudioSettings::atFile(fileImpostazioni);

    if (s.valore("KALIMO_AUDIO") == u"synthetic") {
        const QString tono = s.valore("KALIMO_AUDIO_TONE");
        const double hz = tono.isEmpty() ? 440.0 : tono.toDouble();
        const QString registrazione = s.valore("KALIMO_AUDIO_RECORD");
        fabbrica = [hz, registrazione] {
            auto backend = std::make_unique<SyntheticAudioBackend>();
            backend->setCaptureSource(toneAIntervalli(hz));
            auto guida = std::make_unique<GuidaSintetica>(*backend, registrazione);
            return MezziAudio{std::move(backend), std::move(guida)};
        };
    }

    for (const QString& voce : s.valore("KALIMO_TEST_INTERVALS").split(u',', Qt::SkipEmptyParts)) {
        const int ms = voce.section(u'=', 1).toInt();
        const QString nome = voce.section(u'=', 0, 0).trimmed();
        if (ms <= 0)
            continue;
        if (nome == u"enum")
            intervalli.enumerazione = ms;
        else if (nome == u"pause")
            intervalli.pausaChiusura = ms;
        else if (nome == u"deadpeer")
            tempi.deadPeerMs = ms;
    }

    const QString traccia = s.valore("KALIMO_TEST_TRACE");
    const bool risposte = s.ambiente.contains(u"KALIMO_TEST_ANSWERS"_s);
    s.traccia = std::make_unique<Traccia>(traccia);
    if (!traccia.isEmpty() || risposte) {
        s.dialoghi = std::make_unique<DialoghiProva>(*s.traccia, s.valore("KALIMO_TEST_ANSWERS"));
        servizi.dialoghi = s.dialoghi.get();
        // The set-up window would wait for a user: take the devices offered first.
        servizi.impostaAudio = [&s, fabbrica, impostazioni](QWidget*) {
            const MezziAudio mezzi = fabbrica();
            const QList<AudioDevice> in = mezzi.backend->inputDevices();
            const QList<AudioDevice> out = mezzi.backend->outputDevices();
            if (in.isEmpty() || out.isEmpty())
                return false;
            const bool salvato = impostazioni
                                     .save({in.first().id, in.first().description, out.first().id,
                                            out.first().description})
                                     .ok();
            s.traccia->scrivi({u"setup"_s, salvato ? u"saved"_s : u"failed"_s});
            return salvato;
        };
    }

    const bool controllo = s.valore("KALIMO_TEST_CONTROL") == u"1";
    const auto prima = servizi.finestraCreata;
    servizi.finestraCreata = [&s, prima, controllo, traccia](frmVoiceClient& f) {
        if (prima)
            prima(f);
        s.finestra = &f;
        if (!traccia.isEmpty()) {
            s.griglia = std::make_unique<GrigliaTracciata>(f.griglia(), *s.traccia);
            f.usaGriglia(s.griglia.get());
            QObject::connect(&f, &frmVoiceClient::etichettaCambiata, &f,
                             [&s](const QString& nome, const QString& testo) {
                                 s.traccia->scrivi({u"label"_s, nome, testo});
                             });
            QObject::connect(&f.chat(), &ChatStanza::rigaAggiunta, &f,
                             [&s](const QString& target, const QString& riga) {
                                 s.traccia->scrivi({u"chat"_s, target, riga});
                             });
        }
        if (controllo && !s.comandi) {
            // Commands stop when the test closes our input.
            s.comandi = onStandardInput(
                &f,
                [&s](const QByteArray& dati) {
                    s.leggiComandi(dati);
                    return true;
                },
                [] {});
        }
    };
}

} // namespace kalimo::voce
