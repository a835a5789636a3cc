#include "SoftCbor.h"

#include <algorithm>
#include <limits>

namespace SoftCbor {

namespace {

QByteArray head(int major, quint64 value)
{
    QByteArray out;
    const char m = static_cast<char>(major << 5);
    if (value < 24) {
        out.append(static_cast<char>(m | static_cast<char>(value)));
    } else if (value <= 0xff) {
        out.append(static_cast<char>(m | 24));
        out.append(static_cast<char>(value));
    } else if (value <= 0xffff) {
        out.append(static_cast<char>(m | 25));
        for (int s = 8; s >= 0; s -= 8)
            out.append(static_cast<char>(value >> s));
    } else if (value <= 0xffffffffULL) {
        out.append(static_cast<char>(m | 26));
        for (int s = 24; s >= 0; s -= 8)
            out.append(static_cast<char>(value >> s));
    } else {
        out.append(static_cast<char>(m | 27));
        for (int s = 56; s >= 0; s -= 8)
            out.append(static_cast<char>(value >> s));
    }
    return out;
}

class Reader
{
public:
    explicit Reader(const QByteArray& in)
        : in(in)
    {
    }

    bool atEnd() const { return pos == in.size(); }

    bool item(Item& out, int depth = 0)
    {
        if (depth > 16 || pos >= in.size())
            return false;
        const qsizetype start = pos;
        const auto initial = static_cast<quint8>(in.at(pos++));
        const int major = initial >> 5;
        const int info = initial & 0x1f;
        quint64 arg = 0;
        if (info < 24) {
            arg = static_cast<quint64>(info);
        } else if (info <= 27) {
            const int n = 1 << (info - 24);
            if (pos + n > in.size())
                return false;
            for (int i = 0; i < n; ++i)
                arg = (arg << 8) | static_cast<quint8>(in.at(pos++));
        } else {
            return false; // indefinite lengths never appear in CTAP2
        }
        switch (major) {
        case 0:
            if (arg > static_cast<quint64>(std::numeric_limits<qint64>::max()))
                return false;
            out.kind = Item::Unsigned;
            out.value = static_cast<qint64>(arg);
            break;
        case 1:
            if (arg > static_cast<quint64>(std::numeric_limits<qint64>::max()))
                return false;
            out.kind = Item::Negative;
            out.value = -1 - static_cast<qint64>(arg);
            break;
        case 2:
        case 3:
            if (arg > static_cast<quint64>(in.size() - pos))
                return false;
            out.kind = major == 2 ? Item::Bytes : Item::Text;
            out.data = in.mid(pos, static_cast<qsizetype>(arg));
            pos += static_cast<qsizetype>(arg);
            break;
        case 4:
            out.kind = Item::Array;
            for (quint64 i = 0; i < arg; ++i) {
                Item child;
                if (!item(child, depth + 1))
                    return false;
                out.items << child;
            }
            break;
        case 5:
            out.kind = Item::Map;
            for (quint64 i = 0; i < arg; ++i) {
                Item key, value;
                if (!item(key, depth + 1) || !item(value, depth + 1))
                    return false;
                out.pairs << qMakePair(key, value);
            }
            break;
        case 7:
            if (info == 20 || info == 21) {
                out.kind = Item::Bool;
                out.flag = info == 21;
            } else if (info == 22) {
                out.kind = Item::Null;
            } else {
                return false;
            }
            break;
        default:
            return false;
        }
        out.raw = in.mid(start, pos - start);
        return true;
    }

private:
    const QByteArray& in;
    qsizetype pos = 0;
};

} // namespace

QByteArray unsignedInt(quint64 value)
{
    return head(0, value);
}

QByteArray integer(qint64 value)
{
    return value >= 0 ? head(0, static_cast<quint64>(value)) : head(1, static_cast<quint64>(-1 - value));
}

QByteArray bytes(const QByteArray& value)
{
    return head(2, static_cast<quint64>(value.size())) + value;
}

QByteArray text(const QString& value)
{
    const QByteArray utf8 = value.toUtf8();
    return head(3, static_cast<quint64>(utf8.size())) + utf8;
}

QByteArray boolean(bool value)
{
    return QByteArray(1, value ? '\xf5' : '\xf4');
}

QByteArray array(const QList<QByteArray>& items)
{
    QByteArray out = head(4, static_cast<quint64>(items.size()));
    for (const QByteArray& item : items)
        out += item;
    return out;
}

QByteArray map(QList<Pair> pairs)
{
    // CTAP2 canonical order: by major type, then shorter encodings first,
    // then byte-wise.
    std::sort(pairs.begin(), pairs.end(), [](const Pair& a, const Pair& b) {
        const int ma = static_cast<quint8>(a.first.at(0)) >> 5;
        const int mb = static_cast<quint8>(b.first.at(0)) >> 5;
        if (ma != mb)
            return ma < mb;
        if (a.first.size() != b.first.size())
            return a.first.size() < b.first.size();
        return a.first < b.first;
    });
    QByteArray out = head(5, static_cast<quint64>(pairs.size()));
    for (const Pair& p : pairs)
        out += p.first + p.second;
    return out;
}

const Item* Item::at(qint64 intKey) const
{
    for (const auto& p : pairs) {
        if (p.first.isInt() && p.first.value == intKey)
            return &p.second;
    }
    return nullptr;
}

const Item* Item::at(const char* textKey) const
{
    for (const auto& p : pairs) {
        if (p.first.kind == Text && p.first.data == textKey)
            return &p.second;
    }
    return nullptr;
}

Item decode(const QByteArray& encoded)
{
    Reader reader(encoded);
    Item out;
    if (!reader.item(out) || !reader.atEnd())
        return Item();
    return out;
}

} // namespace SoftCbor
