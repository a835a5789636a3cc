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

    // The host's first line of keyword gets value in place of its own; a
    // host without one gets a new line at the end of its block. An empty
    // value removes the block's lines of keyword.
    void setValue(int host, const QByteArray& keyword, const QByteArray& value);
    // A new Host block at the end of the file, with only the fields that
    // differ from ssh's defaults.
    void appendHost(const SshHostConfig& host);
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
