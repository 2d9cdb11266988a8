#pragma once

#include <optional>

#include <QByteArray>
#include <QString>
#include <QStringList>

#include "engine/model/Plugin.h"

// Builds plug-in folders and realistic Motion template files in the test libraries
// (TestEnv's user and system library) or anywhere else.
namespace PluginFixtures {

struct TemplateOptions
{
    // Empty: no <ozml> element at all.
    QString ozml = QStringLiteral("5.11");
    // nullopt: no <displayversion> element.
    std::optional<QString> displayVersion = QStringLiteral("5.4.7");
    // Published parameter names exactly as they stand between the quotes (entities
    // already encoded), one <target .../> each, spread over `publishBlocks` blocks.
    QStringList publishedNames = {QStringLiteral("Title Color"), QStringLiteral("Font"),
                                  QStringLiteral("Size")};
    int publishBlocks = 1;
    // Other parameters named outside <publishSettings> (never published).
    QStringList privateNames = {QStringLiteral("Properties"), QStringLiteral("Position")};
    // The ozml start tag carries another attribute after the version.
    bool extraOzmlAttribute = false;
    bool crlf = false;
    // Scene body repeated until the file reaches about this size.
    int approxBytes = 300 * 1024;
    // Padding so that a three-byte Chinese character straddles byte 8192.
    bool cutHeadInsideCharacter = false;
    // Put the ozml tag after the first 8 KiB.
    bool ozmlBeyondHead = false;
};

QByteArray templateBytes(const TemplateOptions& options = {});

// <library>/<category folder>, created.
QString categoryFolder(PluginRoot root, ZFCPluginType type);
// <library>/<category folder>/<name>, created (empty).
QString makePlugin(PluginRoot root, ZFCPluginType type, const QString& name);
// A plug-in with one template "<name>.<ext>" (and a small media file).
QString makeTemplatePlugin(PluginRoot root, ZFCPluginType type, const QString& name,
                           const TemplateOptions& options = {}, const QString& ext = QStringLiteral("motn"));

// Creates parent folders; aborts the test on failure.
void writeBytes(const QString& path, const QByteArray& bytes);
QByteArray readBytes(const QString& path);
void makeSymlink(const QString& target, const QString& link);
// Sets a folder's modification time (seconds since 1970).
void setModified(const QString& path, qint64 secondsSinceEpoch);
// Bytes a file occupies on disk, as the scanner counts them.
qint64 allocatedSize(const QString& path);

// While it lives, no file of the process may grow beyond `bytes` (writes fail with EFBIG):
// a write failure that root cannot bypass.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(qint64 bytes);
    ~FileSizeLimit();

private:
    quint64 m_saved;
    void (*m_handler)(int);
};

} // namespace PluginFixtures
