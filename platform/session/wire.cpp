#include "platform/session/wire.h"

#include <algorithm>

#include "protocol/textcodec.h"

#include <QStringDecoder>
#include <QtEndian>

namespace kalimo::session::wire {

namespace {

// 0xFF 0xFF can only open an ENet datagram that is compressed, which ours
// never are, so the intercept hook cannot mistake a real ENet packet.
constexpr char kEnumQueryMagic[] = "\xFF\xFFKLME1Q";
constexpr char kEnumAnswerMagic[] = "\xFF\xFFKLME1R";
constexpr qsizetype kEnumMagicSize = 8;
constexpr char kHelloMagic[] = "KLMH";
constexpr char kWelcomeMagic[] = "KLMW";
constexpr char kSealedHelloMagic[] = "KLMS";
constexpr qsizetype kMagicSize = 4;
constexpr quint8 kHelloVersion = 2; // 1: without the ticket
constexpr qsizetype kUuidSize = 16;

class Writer
{
public:
    void raw(QByteArrayView bytes) { m_out.append(bytes.data(), bytes.size()); }
    void u8(quint8 v) { m_out.append(static_cast<char>(v)); }
    void u16(quint16 v)
    {
        char b[2];
        qToBigEndian(v, b);
        raw(QByteArrayView(b, 2));
    }
    void u32(quint32 v)
    {
        char b[4];
        qToBigEndian(v, b);
        raw(QByteArrayView(b, 4));
    }
    void uuid(const QUuid& id) { raw(id.toRfc4122()); }
    void text16(const QByteArray& utf8)
    {
        u16(static_cast<quint16>(utf8.size()));
        raw(utf8);
    }
    QByteArray take() { return std::move(m_out); }

private:
    QByteArray m_out;
};

// Every read fails once the input is short; the caller checks ok() at the end.
class Reader
{
public:
    explicit Reader(QByteArrayView in) : m_in(in) {}

    bool ok() const { return m_ok; }
    bool atEnd() const { return m_ok && m_pos == m_in.size(); }
    qsizetype remaining() const { return m_in.size() - m_pos; }

    QByteArrayView raw(qsizetype n)
    {
        if (!m_ok || n < 0 || remaining() < n) {
            m_ok = false;
            return {};
        }
        const QByteArrayView v = m_in.sliced(m_pos, n);
        m_pos += n;
        return v;
    }
    bool expect(QByteArrayView magic) { return raw(magic.size()) == magic && m_ok; }
    quint8 u8()
    {
        const QByteArrayView b = raw(1);
        return m_ok ? static_cast<quint8>(b[0]) : 0;
    }
    quint16 u16()
    {
        const QByteArrayView b = raw(2);
        return m_ok ? qFromBigEndian<quint16>(b.data()) : 0;
    }
    quint32 u32()
    {
        const QByteArrayView b = raw(4);
        return m_ok ? qFromBigEndian<quint32>(b.data()) : 0;
    }
    QUuid uuid()
    {
        const QByteArrayView b = raw(kUuidSize);
        return m_ok ? QUuid::fromRfc4122(b) : QUuid();
    }
    QByteArrayView text16(qsizetype cap)
    {
        const quint16 n = u16();
        if (n > cap)
            m_ok = false;
        return raw(n);
    }

private:
    QByteArrayView m_in;
    qsizetype m_pos = 0;
    bool m_ok = true;
};

std::optional<QString> strictUtf8(QByteArrayView bytes)
{
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8.decode(bytes);
    if (utf8.hasError())
        return std::nullopt;
    return text;
}

// Shortens a text until its UTF-8 form fits, never cutting a character.
QByteArray utf8Capped(const QString& text, qsizetype cap)
{
    QString t = text;
    QByteArray bytes = t.toUtf8();
    while (bytes.size() > cap) {
        t.chop(t.size() >= 2 && t.at(t.size() - 1).isLowSurrogate() ? 2 : 1);
        bytes = t.toUtf8();
    }
    return bytes;
}

QByteArrayView view(const char* magic, qsizetype size)
{
    return QByteArrayView(magic, size);
}

} // namespace

bool looksLikeEnumeration(QByteArrayView datagram)
{
    // Both magics share everything but their last byte.
    return datagram.size() >= kEnumMagicSize &&
           datagram.first(kEnumMagicSize - 1) == view(kEnumQueryMagic, kEnumMagicSize - 1);
}

QByteArray enumQuery(const QUuid& application)
{
    Writer w;
    w.raw(view(kEnumQueryMagic, kEnumMagicSize));
    w.uuid(application);
    QByteArray query = w.take();
    query.append(kEnumQuerySize - query.size(), '\0');
    return query;
}

std::optional<QUuid> parseEnumQuery(QByteArrayView datagram)
{
    Reader r(datagram);
    if (!r.expect(view(kEnumQueryMagic, kEnumMagicSize)))
        return std::nullopt;
    const QUuid app = r.uuid();
    if (!r.ok() || datagram.size() > kMaxEnumQuerySize)
        return std::nullopt;
    return app;
}

QByteArray enumAnswer(const EnumAnswer& answer, qsizetype maxBytes)
{
    Writer w;
    w.raw(view(kEnumAnswerMagic, kEnumMagicSize));
    w.uuid(answer.application);
    w.u32(answer.players);
    w.u32(answer.maxPlayers);
    w.u32(answer.cookie);
    const qsizetype room = maxBytes - (kEnumMagicSize + kUuidSize + 12 + 2 + kKeyBytes + 1);
    if (room < 0)
        return {};
    w.text16(utf8Capped(answer.roomName, qMin(room, kMaxRoomNameBytes)));
    w.raw(answer.hostKey.size() == kKeyBytes ? answer.hostKey : QByteArray(kKeyBytes, '\0'));
    w.u8(answer.ciphers);
    return w.take();
}

std::optional<EnumAnswer> parseEnumAnswer(QByteArrayView datagram)
{
    Reader r(datagram);
    if (!r.expect(view(kEnumAnswerMagic, kEnumMagicSize)))
        return std::nullopt;
    EnumAnswer a;
    a.application = r.uuid();
    a.players = r.u32();
    a.maxPlayers = r.u32();
    a.cookie = r.u32();
    const QByteArrayView name = r.text16(kMaxRoomNameBytes);
    a.hostKey = r.raw(kKeyBytes).toByteArray();
    a.ciphers = r.u8();
    if (!r.atEnd())
        return std::nullopt;
    a.roomName = decodeText(name);
    return a;
}

QByteArray hello(const Hello& hello)
{
    Writer w;
    w.raw(view(kHelloMagic, kMagicSize));
    w.u8(kHelloVersion);
    w.uuid(hello.application);
    w.text16(hello.name.toUtf8());
    w.text16(hello.password.toUtf8());
    w.text16(hello.ticket.toUtf8());
    return w.take();
}

std::optional<Hello> parseHello(QByteArrayView packet)
{
    Reader r(packet);
    if (!r.expect(view(kHelloMagic, kMagicSize)))
        return std::nullopt;
    const quint8 version = r.u8();
    if (version != 1 && version != kHelloVersion)
        return std::nullopt;
    Hello h;
    h.application = r.uuid();
    const QByteArrayView name = r.text16(kMaxNameBytes);
    const QByteArrayView password = r.text16(kMaxPasswordBytes);
    const QByteArrayView ticket = version >= 2 ? r.text16(kMaxTicketBytes) : QByteArrayView();
    if (!r.atEnd())
        return std::nullopt;
    auto n = strictUtf8(name);
    auto p = strictUtf8(password);
    auto t = strictUtf8(ticket);
    if (!n || !p || !t || !acceptablePlayerName(*n))
        return std::nullopt;
    h.name = *n;
    h.password = *p;
    h.ticket = *t;
    return h;
}

QByteArray sealedHello(const SealedHello& hello)
{
    Writer w;
    w.raw(view(kSealedHelloMagic, kMagicSize));
    w.u8(hello.cipher);
    w.raw(hello.memberKey);
    w.raw(hello.sealed);
    return w.take();
}

std::optional<SealedHello> parseSealedHello(QByteArrayView packet)
{
    Reader r(packet);
    if (!r.expect(view(kSealedHelloMagic, kMagicSize)))
        return std::nullopt;
    SealedHello h;
    h.cipher = r.u8();
    h.memberKey = r.raw(kKeyBytes).toByteArray();
    if (!r.ok() || r.remaining() < 1 || r.remaining() > 1024)
        return std::nullopt;
    h.sealed = r.raw(r.remaining()).toByteArray();
    return h;
}

QByteArray welcome(qint32 playerId)
{
    Writer w;
    w.raw(view(kWelcomeMagic, kMagicSize));
    w.u32(static_cast<quint32>(playerId));
    return w.take();
}

std::optional<qint32> parseWelcome(QByteArrayView packet)
{
    Reader r(packet);
    if (!r.expect(view(kWelcomeMagic, kMagicSize)))
        return std::nullopt;
    const auto id = static_cast<qint32>(r.u32());
    if (!r.atEnd() || id == 0)
        return std::nullopt;
    return id;
}

QByteArray clientVoice(quint16 seq, QByteArrayView frame)
{
    Writer w;
    w.u16(seq);
    w.raw(frame);
    return w.take();
}

std::optional<VoiceFrame> parseClientVoice(QByteArrayView packet)
{
    Reader r(packet);
    VoiceFrame v;
    v.seq = r.u16();
    if (!r.ok() || r.remaining() < 1 || r.remaining() > kMaxVoiceFrame)
        return std::nullopt;
    v.frame = r.raw(r.remaining()).toByteArray();
    return v;
}

QByteArray hostVoice(qint32 from, quint16 seq, QByteArrayView frame)
{
    Writer w;
    w.u32(static_cast<quint32>(from));
    w.u16(seq);
    w.raw(frame);
    return w.take();
}

std::optional<VoiceFrame> parseHostVoice(QByteArrayView packet)
{
    Reader r(packet);
    VoiceFrame v;
    v.from = static_cast<qint32>(r.u32());
    v.seq = r.u16();
    if (!r.ok() || v.from == 0 || r.remaining() < 1 || r.remaining() > kMaxVoiceFrame)
        return std::nullopt;
    v.frame = r.raw(r.remaining()).toByteArray();
    return v;
}

QByteArray lossReport(const LossReport& report)
{
    Writer w;
    w.u32(static_cast<quint32>(report.player));
    w.u8(static_cast<quint8>(std::clamp(report.lossPercent, 0, 100)));
    return w.take();
}

std::optional<LossReport> parseLossReport(QByteArrayView packet)
{
    Reader r(packet);
    LossReport report;
    report.player = static_cast<qint32>(r.u32());
    report.lossPercent = r.u8();
    if (!r.ok() || r.remaining() != 0 || report.player == 0 || report.lossPercent > 100)
        return std::nullopt;
    return report;
}

bool acceptablePlayerName(const QString& name)
{
    if (name.trimmed().isEmpty() || name.toUtf8().size() > kMaxNameBytes)
        return false;
    // Control characters include the room protocol's separators.
    for (const QChar c : name) {
        if (c.category() == QChar::Other_Control)
            return false;
    }
    return true;
}

} // namespace kalimo::session::wire
