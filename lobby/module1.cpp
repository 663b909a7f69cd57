#include "lobby/module1.h"

#include "lobby/frmclient.h"
#include "lobby/frmlistastanze.h"
#include "lobby/frmlistautenti.h"
#include "lobby/frmlogin.h"
#include "lobby/frmnewuser.h"
#include "lobby/frmnuovastanza.h"
#include "lobby/frmsplash.h"
#include "platform/desktop/attesa.h"
#include "platform/desktop/lingua.h"
#include "protocol/separators.h"
#include "resources/risorse.h"

#include <QDir>
#include <QFileInfo>

namespace kalimo::lobby {

Module1::Module1(Servizi servizi, QString cartellaProgramma, QString cartellaEseguibile,
                 Intervalli intervalli)
    : m_servizi(servizi), m_cartellaProgramma(std::move(cartellaProgramma)),
      m_cartellaEseguibile(std::move(cartellaEseguibile)), m_intervalli(intervalli)
{
    Q_ASSERT(m_servizi.dialoghi && m_servizi.programmi && m_servizi.apriFile);
    inizializzaRisorse();
    // Both connections carry the same notifications.
    for (CollegamentoMaster* c : {&m_master, &m_registrazione}) {
        QObject::connect(
            c, &CollegamentoMaster::testoPrivato, c,
            [this](const QString& partner, const QString& testo, bool daPartner, bool diSistema) {
                MostraMessaggioChat(partner, testo, daPartner, diSistema);
            });
        QObject::connect(c, &CollegamentoMaster::controllo, c,
                         [this](const QString& p) { RispondiControllo(p); });
    }
}

Module1::~Module1()
{
    // The windows are ours: none outlives the state it points to.
    delete m_frmSplash.data();
    delete m_frmLogin.data();
    delete m_frmNewUser.data();
    delete m_frmListaUtenti.data();
    delete m_frmListaStanze.data();
    delete m_frmNuovaStanza.data();
    delete m_frmClient.data();
    for (QPointer<QWidget>& chat : FinestreChat)
        delete chat.data();
}

bool Module1::SubMain()
{
    IndiceWskVoice = 0;

    SEP1 = QString(kalimo::SEP1);
    SEP2 = QString(kalimo::SEP2);
    SEP3 = QString(kalimo::SEP3);
    SEP4 = QString(kalimo::SEP4);
    SEP5 = QString(kalimo::SEP5);
    SEP6 = QString(kalimo::SEP6);
    SEP7 = QString(kalimo::SEP7);
    SEP8 = QString(kalimo::SEP8);
    SEP9 = QString(kalimo::SEP9);

    ContactList.svuota();
    ListaStanze.svuota();

    const bool userIniLetto = LeggiUserIni();

    if (!CaricaMasters()) {
        dialoghi().messaggio(tr("Il Programma non pùo proseguire l'esecuzione"), tr("Attenzione"),
                             Icona::Critica, Pulsanti::Ok);
        FineProgramma();
        return false;
    }

    if (userIniLetto) {
        CaricaContactList();
        FrmSplash()->exec();
        if (m_terminato)
            return false;
        FrmClient()->show();
    } else {
        FrmNewUser()->show();
    }

    FinestreChat.svuota();
    return true;
}

Stanza& Module1::StanzaCorrente()
{
    if (!m_stanzaCorrente)
        m_stanzaCorrente = std::make_unique<Stanza>();
    return *m_stanzaCorrente;
}

bool Module1::apriTestoAiuto(const QString& nomeFile) const
{
    // The text in the windows' language when there is one (miniguida_en.txt), else the Italian.
    QStringList nomi{nomeFile};
    const QString lingua = linguaInterfaccia();
    if (lingua != u"it")
        nomi.prepend(QFileInfo(nomeFile).completeBaseName() + u'_' + lingua +
                     QStringLiteral(".txt"));
    for (const QString& nome : std::as_const(nomi)) {
        QString file = percorso(nome);
        if (!QFileInfo::exists(file) && !m_cartellaEseguibile.isEmpty())
            file = QDir(m_cartellaEseguibile).filePath(nome);
        if (QFileInfo::exists(file))
            return m_servizi.apriFile->apri(file);
    }
    return false;
}

void Module1::FineProgramma()
{
    m_terminato = true;
    Attesa::interrompiTutto();
    for (QPointer<QWidget>& chat : FinestreChat) {
        if (chat)
            chat->close();
    }
    if (m_uscita)
        m_uscita();
    else
        QCoreApplication::exit(0);
}

frmClient* Module1::FrmClient()
{
    if (!m_frmClient)
        m_frmClient = new frmClient(*this);
    return m_frmClient;
}

frmSplash* Module1::FrmSplash()
{
    if (!m_frmSplash)
        m_frmSplash = new frmSplash(*this);
    return m_frmSplash;
}

frmLogin* Module1::FrmLogin()
{
    if (!m_frmLogin)
        m_frmLogin = new frmLogin(*this);
    return m_frmLogin;
}

frmNewUser* Module1::FrmNewUser()
{
    if (!m_frmNewUser)
        m_frmNewUser = new frmNewUser(*this);
    return m_frmNewUser;
}

frmListaUtenti* Module1::FrmListaUtenti()
{
    if (!FrmListaUtentiEsistente())
        m_frmListaUtenti = new frmListaUtenti(*this);
    return m_frmListaUtenti;
}

frmListaUtenti* Module1::FrmListaUtentiEsistente() const
{
    return m_frmListaUtenti && !m_frmListaUtenti->scaricata() ? m_frmListaUtenti.data() : nullptr;
}

frmClient* Module1::FrmClientEsistente() const
{
    return m_frmClient;
}

frmSplash* Module1::FrmSplashEsistente() const
{
    return m_frmSplash;
}

frmLogin* Module1::FrmLoginEsistente() const
{
    return m_frmLogin;
}

frmNewUser* Module1::FrmNewUserEsistente() const
{
    return m_frmNewUser;
}

} // namespace kalimo::lobby
