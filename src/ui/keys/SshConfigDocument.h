#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// One Host block of the SSH client configuration file, as ssh reads it: each
// field is the block's first value for its keyword (ssh keeps the first value
// it meets), empty or false when the block gives none. A value is shown as
// read; a Port may be a service name ("https"), so it stays text.
struct SshHostConfig
{
    QString alias;              // the Host line's patterns, joined by single blanks
    QString hostName;
    QString user;
    QString port;
    QString identityFile;
    bool identitiesOnly = false;
    QString proxyJump;
    QString localForward;
    QString remoteForward;
    bool forwardAgent = false;
    bool compression = false;
    QString logLevel;
    QString serverAliveInterval;
    QString serverAliveCountMax;
    bool strictHostKeyChecking = true;

    bool operator==(const SshHostConfig&) const = default;
};

// The SSH client configuration file as the lines it was read from: bytes and
// line ends exactly as on disk, so whatever an edit does not touch (comments,
// indentation, CRLF, Match blocks, explicit defaults, bytes that are not
// UTF-8) is written back as it stood. The Host and Match lines are found with
// ssh's own grammar, in every form ssh accepts.
class SshConfigDocument
{
public:
    SshConfigDocument() = default;
    explicit SshConfigDocument(const QByteArray& bytes);

    QByteArray toBytes() const;

    // One line split the way ssh splits it: the keyword ends at a blank, a
    // quote or "=", then blanks, one "=" and blanks separate it from the
    // arguments; quotes group an argument; a word that starts with "#" ends
    // the line.
    struct Words
    {
        QByteArray keyword;        // lower case; empty for a blank or comment line
        QList<QByteArray> arguments;
        qsizetype valueStart = -1; // byte span of the arguments in the line
        qsizetype valueEnd = -1;
    };
    static Words split(const QByteArray& line);

    int hostCount() const { return int(hostBlocks.size()); }
    QList<SshHostConfig> hosts() const;

    // The host's own lines as they stand, to find the host again in a newer
    // version of the file.
    QByteArray hostText(int host) const;
    // The host whose own lines are text: preferred when it is one, else the
    // first; -1 when none is.
    int findHost(const QByteArray& text, int preferred) const;

    // For each host, the port ssh would use: the first Port line that applies
    // to it in file order (lines before the first block, the host's own
    // block, every other Host block that matches the name it is reached by,
    // and "Match all"); empty when nothing in this file sets one. A host of
    // wildcards alone is reached by no name: only its own block and the
    // blocks that match every host count. Files an Include line names, and
    // Match blocks of other criteria, are not followed.
    QStringList effectivePorts() const;

    // The name ssh is given to reach the host: the first pattern of its Host
    // line without a wildcard or "!"; empty when it has none.
    QString connectName(int host) const;
    // The same for patterns typed as a Host line's value.
    static QString connectName(const QString& patterns);

    // A value as ssh reads it back: in double quotes when it holds a blank.
    // The value must hold no quote, "#", backslash or control character.
    static QByteArray quoted(const QByteArray& value);

    // The host's first line of keyword gets value in place of its own; a
    // host without one gets a new line at the end of its block. An empty
    // value removes the block's lines of keyword. A value with a blank is
    // written quoted.
    void setValue(int host, const QByteArray& keyword, const QByteArray& value);
    // A new Host block with only the fields that differ from ssh's defaults,
    // values with blanks quoted. ssh keeps the first value it meets, so the
    // block goes before the first block that would otherwise give the new
    // host its values through a wildcard ("Host *", "Host *.example.com",
    // "Match all"); with none, at the end of the file.
    void addHost(const SshHostConfig& host);
    // Removes the host's own lines; a Match block after it, or the comment
    // that introduces the next block, stays.
    void removeHost(int host);
    // The host's own lines again at the end of the file, its patterns
    // followed by suffix.
    void duplicateHost(int host, const QByteArray& suffix);

private:
    struct Line
    {
        QByteArray text;   // without its line end
        QByteArray end;    // "\n", "\r\n", or empty for a last line without one
    };
    struct Block
    {
        int first = 0;     // the Host or Match line
        int end = 0;       // one past the block's last line
    };

    void index();
    Block hostBlock(int host) const { return blocks.at(hostBlocks.at(host)); }
    // The Host line's patterns, or the Match line's criteria.
    QList<QByteArray> blockWords(const Block& block) const;
    bool isMatchAll(const Block& block) const;
    // Every host, or every host but those its negations name.
    bool isCatchAll(const Block& block, const QByteArray& name) const;
    // Lines directly above the block's first line that are comments, with no
    // blank line between: they belong to it.
    int leadIn(const Block& block) const;
    // One past the block's last line that is neither blank nor a comment.
    int contentEnd(const Block& block) const;
    // One past the host's own lines: its content and the blank lines after it.
    int ownEnd(const Block& block) const;
    QByteArray lineEnd() const;
    // Inserts lines before position at, giving the line before them a line
    // end if it had none.
    void insertLines(int at, const QList<QByteArray>& texts);
    // Lines to append at the end of the file, after a blank line that parts
    // them from what stands before.
    void appendBlock(const QList<QByteArray>& texts);

    QList<Line> lines;
    QList<Block> blocks;       // Host and Match blocks in file order
    QList<int> hostBlocks;     // indexes into blocks of the Host blocks
};
