#pragma once

#include <QHash>
#include <QString>

namespace kalimo {

// Starting and closing our own helper programs.
class AvvioProgrammi
{
public:
    virtual ~AvvioProgrammi() = default;

    // Starts `programma`, which lies beside our own executable (or in the
    // helpers' folder of an installed copy), with the whole
    // `argomenti` text as its one argument. Returns the task id (the process
    // id), 0 when it could not be started.
    virtual qint64 avvia(const QString& programma, const QString& argomenti) = 0;
    // Asks a process we started to close as if its close button were pressed.
    // A process that is gone, or any other one that took its number since, is
    // never signalled: false then.
    virtual bool chiediChiusura(qint64 idProcesso) = 0;
};

// Opens a text file with the desktop's viewer.
class ApriFile
{
public:
    virtual ~ApriFile() = default;
    virtual bool apri(const QString& percorso) = 0;
};

class AvvioProgrammiQt final : public AvvioProgrammi
{
public:
    // `cartella` is where the programs lie; empty: our executable's folder.
    explicit AvvioProgrammiQt(QString cartella = {}) : m_cartella(std::move(cartella)) {}
    ~AvvioProgrammiQt() override;
    AvvioProgrammiQt(const AvvioProgrammiQt&) = delete;
    AvvioProgrammiQt& operator=(const AvvioProgrammiQt&) = delete;

    qint64 avvia(const QString& programma, const QString& argomenti) override;
    bool chiediChiusura(qint64 idProcesso) override;

private:
    QString m_cartella;
    // A handle on each process we started, taken at its start: it keeps
    // naming that process, never one that reuses its number later.
    QHash<qint64, int> m_maniglie;
};

class ApriFileQt final : public ApriFile
{
public:
    bool apri(const QString& percorso) override;
};

} // namespace kalimo
