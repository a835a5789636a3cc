#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

// Just enough CBOR for a software CTAP2 authenticator: an encoder whose maps
// come out in CTAP2 canonical key order (libfido2 refuses any other), and a
// strict decoder that keeps each item's raw bytes, since PIN/UV auth
// parameters are computed over the platform's own encoding.
namespace SoftCbor {

QByteArray unsignedInt(quint64 value);
QByteArray integer(qint64 value);
QByteArray bytes(const QByteArray& value);
QByteArray text(const QString& value);
QByteArray boolean(bool value);
QByteArray array(const QList<QByteArray>& items);
using Pair = QPair<QByteArray, QByteArray>;
QByteArray map(QList<Pair> pairs); // sorted canonically here

struct Item
{
    enum Kind { Invalid, Unsigned, Negative, Bytes, Text, Array, Map, Bool, Null };
    Kind kind = Invalid;
    qint64 value = 0; // Unsigned and Negative (no value above 2^63 is needed)
    bool flag = false;
    QByteArray data; // Bytes, and Text as UTF-8
    QList<Item> items;
    QList<QPair<Item, Item>> pairs;
    QByteArray raw; // the item's own encoding

    bool isInt() const { return kind == Unsigned || kind == Negative; }
    // Map look-ups; null when the key is missing.
    const Item* at(qint64 intKey) const;
    const Item* at(const char* textKey) const;
};

// Decodes exactly one item that fills the whole input; Invalid on anything else.
Item decode(const QByteArray& encoded);

} // namespace SoftCbor
