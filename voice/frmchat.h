#pragma once

#include <QList>
#include <QObject>
#include <QPointer>
#include <QWidget>

#include <functional>
#include <memory>

namespace Ui {
class frmChat;
}

namespace kalimo::voce {

class ChatStanza;
class Module1;

// One room chat window: the public one shared by the room, or a private one
// with a partner. Lines show only when the room host sends them back.
class frmChat final : public QWidget
{
    Q_OBJECT

public:
    static QString targetPubblico() { return QStringLiteral("_ALL_"); }

    frmChat(ChatStanza& chat, bool pubblica, QWidget* parent = nullptr);
    ~frmChat() override;

    // The partner's nick, "_ALL_" for the public window; "" once a private
    // window was closed (its slot is free).
    void SetTarget(const QString& Tar);
    const QString& SetTarget() const { return m_target; }
    bool pubblica() const { return m_pubblica; }

    // "<" nick ">  " text, keeping the newest line in view.
    void AggiungiRiga(const QString& nick, const QString& testo);
    QString Trascrizione() const;

protected:
    void closeEvent(QCloseEvent* evento) override;

private Q_SLOTS:
    void cmdInvia_Click();
    void txtTesto_Enter();
    void cmdNascondi_Click();
    void cmdIgnora_Click();
    void cmdChiudi_Click();
    void txtChat_Change();

private:
    void invia();

    ChatStanza& m_chat;
    std::unique_ptr<Ui::frmChat> ui;
    const bool m_pubblica;
    QString m_target;
};

// The room's chat windows and the lines the room host sends for them. The
// windows never outlive it.
class ChatStanza final : public QObject
{
    Q_OBJECT

public:
    // `invia` hands one in-room message to the session.
    ChatStanza(Module1& modulo, std::function<void(const QString&)> invia);
    ~ChatStanza() override;

    // `cmdChatTestuale` and `cmdChatPrivata` (the nick of the chosen row).
    void ApriChatPubblica();
    void ApriChatPrivata(const QString& nick);

    // "0005", "0006", "0007" of the room host.
    void RigaPubblica(const QString& nick, const QString& testo);
    void RigaPrivata(const QString& nick, const QString& testo);
    void RigaPropria(const QString& nick, const QString& testo);

    void InviaTestoPubblico(const QString& Testo);
    void InviaTestoPrivato(const QString& target, const QString& Testo);
    void IgnoraUtente(const QString& nick);

    // Every window goes, as the room window closes.
    void ScaricaTutte();

    frmChat* ChatPubblica() const { return m_pubblica; }
    bool ChatPubblicaAperta = false;
    // The private window with `nick`, or null.
    frmChat* ChatPrivata(const QString& nick) const;
    int numeroChatPrivate() const;

Q_SIGNALS:
    // A line shown in the window of `target` ("_ALL_" for the public one).
    void rigaAggiunta(const QString& target, const QString& riga);

private:
    frmChat* nuovaPrivata(const QString& nick);

    Module1& m;
    std::function<void(const QString&)> m_invia;
    QPointer<frmChat> m_pubblica;
    QList<QPointer<frmChat>> m_private;
};

} // namespace kalimo::voce
