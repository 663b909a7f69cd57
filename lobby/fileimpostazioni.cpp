// The four settings files of the program folder: User.ini, Masters.txt,
// Masters.old.txt and CntLst.klm.

#include "lobby/module1.h"
#include "protocol/framing.h"
#include "protocol/textcodec.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>

namespace kalimo::lobby {

namespace {

const QString kUserIni = QStringLiteral("User.ini");
const QString kMasters = QStringLiteral("Masters.txt");
const QString kMastersOld = QStringLiteral("Masters.old.txt");
const QString kContactList = QStringLiteral("CntLst.klm");
constexpr auto kFineRiga = "\r\n";

enum class Esito { Letto, Mancante, TroppoGrande, Errore };

struct Righe
{
    Esito esito = Esito::Errore;
    QStringList righe;
};

Righe leggiRighe(const QString& percorso)
{
    Righe risultato;
    QFile file(percorso);
    if (!file.exists()) {
        risultato.esito = Esito::Mancante;
        return risultato;
    }
    const qint64 dimensione = file.size();
    if (dimensione > Module1::kDimensioneMassimaFile) {
        risultato.esito = Esito::TroppoGrande;
        return risultato;
    }
    if (!file.open(QIODevice::ReadOnly))
        return risultato;
    // A buffer of the file's size, not of the cap: these files are small. Whatever came past
    // it is read up to one byte past the cap, so a file that grew since is refused too.
    QByteArray dati = file.read(dimensione + 1);
    if (dati.size() > dimensione)
        dati += file.read(Module1::kDimensioneMassimaFile + 1 - dati.size());
    if (file.error() != QFileDevice::NoError)
        return risultato;
    if (dati.size() > Module1::kDimensioneMassimaFile) {
        risultato.esito = Esito::TroppoGrande;
        return risultato;
    }
    static const QRegularExpression fineRiga(QStringLiteral("\r\n|\r|\n"));
    risultato.righe = decodeText(dati).split(fineRiga);
    risultato.esito = Esito::Letto;
    return risultato;
}

// Replaces the file as a whole, so a failed write leaves the old one intact.
bool scriviFile(const QString& percorso, const QByteArray& dati, bool soloProprietario = false)
{
    QSaveFile file(percorso);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    if (soloProprietario && !file.setPermissions(QFile::ReadOwner | QFile::WriteOwner))
        return false;
    if (file.write(dati) != dati.size())
        return false;
    return file.commit();
}

// A line of one of our files may never hold a line break or other control
// characters: it would split the record on the next read.
QString senzaControlli(const QString& testo)
{
    QString pulito;
    pulito.reserve(testo.size());
    for (const QChar c : testo) {
        if (!isControlCharacter(c))
            pulito.append(c);
    }
    return pulito;
}

QByteArray riga(const QString& testo)
{
    return encodeText(senzaControlli(testo)) + kFineRiga;
}

} // namespace

QString Module1::percorso(const QString& nomeFile) const
{
    return QDir(m_cartellaProgramma).filePath(nomeFile);
}

bool Module1::LeggiUserIni()
{
    const Righe file = leggiRighe(percorso(kUserIni));
    if (file.esito != Esito::Letto)
        return false;
    for (const QString& linea : file.righe) {
        if (linea.trimmed().isEmpty())
            continue;
        const qsizetype duepunti = linea.indexOf(u':');
        if (duepunti < 0) {
            // An account line that lost its colon makes the file unusable;
            // any other line is not ours to judge.
            const QString testo = linea.trimmed();
            if (testo.startsWith(u"USERNAME") || testo.startsWith(u"PASSWORD"))
                return false;
            continue;
        }
        const QString chiave = linea.left(duepunti).trimmed();
        if (chiave != u"USERNAME" && chiave != u"PASSWORD")
            continue;
        // Everything after the first colon: a password may hold colons.
        const QString valore = linea.mid(duepunti + 1).trimmed();
        if (chiave == u"USERNAME")
            UtenteCorrente.NickName = valore;
        else
            UtenteCorrente.Password = valore;
    }
    return true;
}

bool Module1::SalvaUserIni(const QString& userName, const QString& password) const
{
    const QByteArray dati = riga(QStringLiteral("USERNAME : ") + userName.trimmed().toLower()) +
                            riga(QStringLiteral("PASSWORD : ") + password.trimmed());
    return scriviFile(percorso(kUserIni), dati, true);
}

bool Module1::CaricaMasters()
{
    return caricaMastersDa(kMasters, true);
}

bool Module1::CaricaMastersOld()
{
    return caricaMastersDa(kMastersOld, false);
}

bool Module1::caricaMastersDa(const QString& nomeFile, bool principale)
{
    ListaMaster.svuota();
    const Righe file = leggiRighe(percorso(nomeFile));
    const QString attenzione = tr("Attenzione");

    if (file.esito == Esito::Mancante && principale) {
        dialoghi().messaggio(tr("Impossibile Trovare il file Masters.txt \n"
                                "Tentativo di recupero della configurazione precedente"),
                             attenzione, Icona::Critica, Pulsanti::Ok);
        if (!CaricaMastersOld())
            return false;
        // The recovered list is in use even if Masters.txt cannot be recreated now.
        SalvaMasters(ListaMaster);
        return true;
    }
    if (file.esito == Esito::TroppoGrande) {
        if (principale)
            dialoghi().messaggio(tr("Il file Masters.txt risulta corrotto"), attenzione,
                                 Icona::Critica, Pulsanti::Ok);
        ListaMaster.svuota();
        return false;
    }
    if (file.esito != Esito::Letto)
        return false;

    for (const QString& linea : file.righe) {
        if (linea.trimmed().isEmpty())
            continue;
        const QStringList campi = linea.split(u'|');
        if (campi.size() < 4) {
            if (principale)
                dialoghi().messaggio(tr("Il file Masters.txt risulta corrotto"), attenzione,
                                     Icona::Critica, Pulsanti::Ok);
            ListaMaster.svuota();
            return false;
        }
        bool ok = false;
        const uint porta = campi[2].trimmed().toUInt(&ok, 10);
        if (!ok || porta > 65535) {
            ListaMaster.svuota();
            return false;
        }
        MasterRecord record{campi[0].trimmed(),
                            campi[1].trimmed(),
                            static_cast<quint16>(porta),
                            campi[3].trimmed(),
                            {}};
        // A fifth field of another kind is ignored, as it always was; a TLS
        // field that does not read must not fall back to a plain connection.
        if (campi.size() > 4 && looksLikeTlsField(campi[4])) {
            const std::optional<TlsEndpoint> tls = parseTlsField(campi[4]);
            if (!tls) {
                if (principale)
                    dialoghi().messaggio(tr("Il file Masters.txt risulta corrotto"), attenzione,
                                         Icona::Critica, Pulsanti::Ok);
                ListaMaster.svuota();
                return false;
            }
            record.Tls = *tls;
        }
        ListaMaster.aggiungi(record);
    }
    if (principale)
        SalvaMastersOld(ListaMaster);
    return true;
}

bool Module1::scriviMasters(const QString& nomeFile, const Lista1<MasterRecord>& lista) const
{
    QByteArray dati;
    for (const MasterRecord& m : lista) {
        // The record's own line ending, then the one of the write: an empty line follows.
        QStringList campi{m.Nome, m.Indirizzo, QString::number(m.Porta), m.Chiave};
        if (m.Tls.port != 0)
            campi.append(tlsField(m.Tls));
        dati += riga(campi.join(QStringLiteral(" | ")));
        dati += kFineRiga;
    }
    return scriviFile(percorso(nomeFile), dati);
}

bool Module1::SalvaMasters(const Lista1<MasterRecord>& lista) const
{
    return scriviMasters(kMasters, lista);
}

bool Module1::SalvaMastersOld(const Lista1<MasterRecord>& lista) const
{
    return scriviMasters(kMastersOld, lista);
}

void Module1::CaricaContactList()
{
    m_contactListRifiutata = false;
    const Righe file = leggiRighe(percorso(kContactList));
    if (file.esito == Esito::TroppoGrande)
        m_contactListRifiutata = true;
    if (file.esito != Esito::Letto)
        return;
    for (const QString& linea : file.righe) {
        const QString nick = linea.trimmed();
        if (!nick.isEmpty())
            ContactList.aggiungi({nick, kFalso});
    }
}

bool Module1::SalvaContactList(const Lista1<ContactRecord>& lista, int indice, bool Riscrivi) const
{
    const QString file = percorso(kContactList);
    if (Riscrivi) {
        // A file we refused to read is never overwritten by the little we know of it.
        if (m_contactListRifiutata)
            return false;
        QByteArray dati;
        for (const ContactRecord& c : lista)
            dati += riga(c.NickName);
        return scriviFile(file, dati);
    }
    if (indice < 1 || indice > lista.UBound())
        return false;
    QByteArray dati;
    QFile esistente(file);
    if (esistente.exists()) {
        if (!esistente.open(QIODevice::ReadOnly))
            return false;
        dati = esistente.readAll();
        if (esistente.error() != QFileDevice::NoError)
            return false;
        if (!dati.isEmpty() && !dati.endsWith('\n') && !dati.endsWith('\r'))
            dati += kFineRiga;
    }
    dati += riga(lista[indice].NickName);
    return scriviFile(file, dati);
}

bool Module1::EstInContactList(const QString& nick) const
{
    for (const ContactRecord& c : ContactList) {
        if (c.NickName == nick)
            return true;
    }
    return false;
}

qint16 Module1::DammiStatoContatto(const QString& nick) const
{
    for (const ContactRecord& c : ContactList) {
        if (c.NickName == nick)
            return c.Stato;
    }
    return kFalso;
}

bool Module1::EliminaDaContactList(const QString& nick)
{
    ContactList.rimuoviSe([&nick](const ContactRecord& c) { return c.NickName == nick; });
    for (ContactRecord& c : ContactList)
        c.Stato = kFalso;
    return SalvaContactList(ContactList, 0, true);
}

} // namespace kalimo::lobby
