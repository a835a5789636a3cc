#pragma once

#include <QString>
#include <QStringList>

#include <utility>

// Words that come from the user or from a file and reach a tool as
// positional arguments. A tool reads any word that begins with "-" as an
// option, so such a word goes after "--" where the tool honours one, and is
// refused with a message where it does not (ssh's destination, rsync's
// remote side, a field shown to another program). Every page decides here.
namespace ToolArgs {

// True when a tool would take word for an option: it begins with "-".
bool isOptionLike(const QString& word);

// Why word must not reach the tool, or empty when it may. what names the
// field as the user knows it ("host", "user name", "file name"), tool the
// program that would misread it ("the SSH client", "rsync"); advice, when
// given, ends the message ("Enter a host name or address.").
QString refusal(const QString& what, const QString& word, const QString& tool,
                const QString& advice = QString());

// The first refusal among several fields, each a pair of what and word, in
// order; empty when every word may reach the tool.
QString firstRefusal(const QList<std::pair<QString, QString>>& fields, const QString& tool);

// options, then "--", then the words: for a tool that honours "--", so a
// word that begins with "-" arrives as the name it is.
QStringList withPositional(QStringList options, const QStringList& words);

// Why name must not become a file in the folder the user was promised, or
// empty when it may: a plain name, with no "/" (which would lead elsewhere,
// "../outside" above all) and no NUL, beginning with neither "-" (a tool's
// option) nor "." (hidden, or the folder itself and its parent). what names
// the field as the user knows it ("file name"), folder the folder ("~/.ssh/").
QString plainNameRefusal(const QString& what, const QString& name, const QString& folder);

} // namespace ToolArgs
