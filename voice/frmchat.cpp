#include "voice/frmchat.h"

#include "protocol/codes.h"
#include "protocol/framing.h"
#include "protocol/separators.h"
#include "ui_frmchat.h"
#include "voice/module1.h"

#include <QCloseEvent>

using namespace Qt::StringLiterals;

namespace kalimo::voce {

frmChat::frmChat(ChatStanza& chat, bool pubblica, QWidget* parent)
    : QWidget(parent), m_chat(chat), ui(std::make_unique<Ui::frmChat>()), m_pubblica(pubblica)
{
    ui->setupUi(this);
    connect(ui->cmdInvia, &QPushButton::clicked, this, &frmChat::cmdInvia_Click);
    connect(ui->txtTesto, &QLineEdit::returnPressed, this, &frmChat::txtTesto_Enter);
    connect(ui->cmdNascondi, &QPushButton::clicked, this, &frmChat::cmdNascondi_Click);
    connect(ui->cmdIgnora, &QPushButton::clicked, this, &frmChat::cmdIgnora_Click);
    connect(ui->cmdChiudi, &QPushButton::clicked, this, &frmChat::cmdChiudi_Click);
    connect(ui->txtChat, &QPlainTextEdit::textChanged, this, &frmChat::txtChat_Change);
    ui->cmdIgnora->setVisible(!m_pubblica);
}

frmChat::~frmChat() = default;

void frmChat::SetTarget(const QString& Tar)
{
    m_target = Tar;
    if (m_pubblica)
        setWindowTitle(tr("Chat Pubblica della Stanza"));
    else if (!m_target.isEmpty())
        setWindowTitle(tr("Collegato con ") + m_target);
}

void frmChat::AggiungiRiga(const QString& nick, const QString& testo)
{
    const QString riga = u'<' + nick + u">  "_s + testo;
    ui->txtChat->appendPlainText(riga);
    Q_EMIT m_chat.rigaAggiunta(m_pubblica ? targetPubblico() : m_target, riga);
}

QString frmChat::Trascrizione() const
{
    return ui->txtChat->toPlainText();
}

void frmChat::invia()
{
    const QString testo = ui->txtTesto->text();
    if (testo.isEmpty())
        return;
    if (m_pubblica)
        m_chat.InviaTestoPubblico(testo);
    else
        m_chat.InviaTestoPrivato(m_target, testo);
    ui->txtTesto->clear();
}

void frmChat::cmdInvia_Click()
{
    invia();
    ui->txtTesto->setFocus();
}

void frmChat::txtTesto_Enter()
{
    invia();
}

void frmChat::cmdNascondi_Click()
{
    hide();
}

void frmChat::cmdIgnora_Click()
{
    m_chat.IgnoraUtente(m_target);
}

void frmChat::cmdChiudi_Click()
{
    close();
}

void frmChat::closeEvent(QCloseEvent* evento)
{
    // Closed is unloaded: a window opened again starts with no lines.
    ui->txtChat->clear();
    ui->txtTesto->clear();
    if (m_pubblica)
        m_chat.ChatPubblicaAperta = false;
    else
        SetTarget(QString());
    evento->accept();
}

void frmChat::txtChat_Change()
{
    ui->txtChat->moveCursor(QTextCursor::End);
    ui->txtChat->ensureCursorVisible();
}

// ---- the room's chat windows ----

ChatStanza::ChatStanza(Module1& modulo, std::function<void(const QString&)> invia)
    : m(modulo), m_invia(std::move(invia))
{
}

ChatStanza::~ChatStanza()
{
    ScaricaTutte();
}

void ChatStanza::ScaricaTutte()
{
    delete m_pubblica.data();
    for (const QPointer<frmChat>& finestra : std::as_const(m_private))
        delete finestra.data();
    m_private.clear();
    ChatPubblicaAperta = false;
}

void ChatStanza::ApriChatPubblica()
{
    if (!m_pubblica)
        m_pubblica = new frmChat(*this, true);
    m_pubblica->SetTarget(frmChat::targetPubblico());
    ChatPubblicaAperta = true;
    m_pubblica->show();
    m_pubblica->raise();
}

void ChatStanza::ApriChatPrivata(const QString& nick)
{
    if (nick.isEmpty())
        return;
    bool trovata = false;
    for (QPointer<frmChat>& finestra : m_private) {
        if (!finestra)
            continue;
        if (finestra->SetTarget().isEmpty()) {
            // A closed window's slot: unloaded now.
            finestra->deleteLater();
            finestra = nullptr;
        } else if (finestra->SetTarget() == nick) {
            finestra->show();
            finestra->raise();
            trovata = true;
            m.StanzaCorrente().NonIgnorareUtente(nick);
        }
    }
    if (trovata || nick == m.UtenteLocale.NickName)
        return;
    nuovaPrivata(nick)->show();
    m.StanzaCorrente().NonIgnorareUtente(nick);
}

frmChat* ChatStanza::nuovaPrivata(const QString& nick)
{
    auto* finestra = new frmChat(*this, false);
    finestra->SetTarget(nick);
    m_private.append(finestra);
    return finestra;
}

frmChat* ChatStanza::ChatPrivata(const QString& nick) const
{
    for (const QPointer<frmChat>& finestra : m_private) {
        if (finestra && !nick.isEmpty() && finestra->SetTarget() == nick)
            return finestra;
    }
    return nullptr;
}

int ChatStanza::numeroChatPrivate() const
{
    return int(std::count_if(m_private.cbegin(), m_private.cend(),
                             [](const QPointer<frmChat>& f) { return !f.isNull(); }));
}

void ChatStanza::RigaPubblica(const QString& nick, const QString& testo)
{
    if (ChatPubblicaAperta && m_pubblica)
        m_pubblica->AggiungiRiga(nick, testo);
}

void ChatStanza::RigaPrivata(const QString& nick, const QString& testo)
{
    if (nick.isEmpty())
        return;
    frmChat* finestra = ChatPrivata(nick);
    if (!finestra) {
        if (m.StanzaCorrente().EstUtenteIgnorato(nick))
            return;
        finestra = nuovaPrivata(nick);
    }
    finestra->show();
    finestra->AggiungiRiga(nick, testo);
}

void ChatStanza::RigaPropria(const QString& nick, const QString& testo)
{
    if (frmChat* finestra = ChatPrivata(nick))
        finestra->AggiungiRiga(m.UtenteLocale.NickName, testo);
}

void ChatStanza::InviaTestoPubblico(const QString& Testo)
{
    const QString nick = stripControlCharacters(m.UtenteLocale.NickName);
    m_invia(senderMessage(inroom::request::PublicText, nick,
                          parameterBlock({nick, stripControlCharacters(Testo)})));
}

void ChatStanza::InviaTestoPrivato(const QString& target, const QString& Testo)
{
    const QString nick = stripControlCharacters(m.UtenteLocale.NickName);
    m_invia(senderMessage(
        inroom::request::PrivateText, nick,
        parameterBlock({nick, stripControlCharacters(target), stripControlCharacters(Testo)})));
}

void ChatStanza::IgnoraUtente(const QString& nick)
{
    if (!nick.isEmpty())
        m.StanzaCorrente().IgnoraUtente(nick);
}

} // namespace kalimo::voce
