#pragma once

#include <cstddef>
#include <optional>
#include <utility>
#include <stdexcept>
#include <string>
#include <vector>

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <SafeFS/Identity.h>
#include "engine/files/TemplateEditError.h"

class TemplateChange;

// Reads and rewrites the Motion template files of one plug-in folder: their ozml and
// display versions and the names of their published parameters. Works on the raw text
// (no XML parser) and leaves every byte it does not rewrite as it was.
namespace TemplateInspector {

// Only the head of each template is read when summarising versions.
inline constexpr std::size_t kHeadBytes = 8192;
// Rewrites read whole files; anything larger is not a template we can hold in memory.
inline constexpr qint64 kMaxTemplateBytes = 256LL * 1024 * 1024;

struct VersionSummary
{
    std::optional<QString> ozml;
    std::optional<QString> displayVersion;
    int templateFileCount = 0;
    QHash<QString, int> counts; // "ozml|displayVersion" -> files
};

struct EditSummary
{
    int filesChanged = 0;
    int namesChanged = 0;
    // The errno of a write error the disk reported after the files were changed (they stay
    // changed, but may not have reached the disk); 0 when none.
    int writeError = 0;
};

struct NamePair
{
    QString original;
    QString current;
    int count = 0;

    QString id() const { return original + QChar(0x1F) + current; }
    bool isChinese() const;
    bool operator==(const NamePair&) const = default;
};

// "motn", "moti", "moef", "motr" (compared with the lower-cased extension).
const QSet<QString>& fileExtensions();

// Template files below `folder` in walk order; hidden entries, package contents and linked
// folders are left out, linked templates are listed (whatever they point to).
QStringList templateFiles(const QString& folder);

VersionSummary versionSummary(const QString& folder);

// The same made one template at a time, from a handle on each as a walk meets them (the
// scanner's own walk, through LibraryWalk's TemplateReader).
class VersionTally
{
public:
    // The template open at `fd`, a regular file of `size` bytes: only its head is read.
    void add(int fd, qint64 size);
    VersionSummary summary() const;

private:
    VersionSummary m_summary;
    std::optional<std::pair<QString, std::optional<QString>>> m_best;
    char m_head[kHeadBytes];
};

// Both rewrites change a plug-in whole or nothing (TemplateChange): a failed write
// (TemplateEditError, naming the plug-in and the file) leaves every file as it was, and so
// does a kill once recovery has run. Linked folders inside are passed over. In the system
// library a link on the way to the plug-in or a linked template inside it refuses the
// rewrite before anything is written; in the user's library linked templates are followed.

// Sets every template's ozml version and display version (an empty display version
// removes the element). Only regular files (or, in the user's library, links to them) are
// rewritten, and only when their text changes. Throws TemplateEditError for a version that is not digits and dots,
// and when `seen` (the plug-in's identity in the list; unknown checks nothing) is no longer
// what stands at `folder`.
EditSummary setVersion(const QString& folder, const QString& ozml, const QString& displayVersion,
                       const SafeFS::Identity& seen = {});

// Renames published parameters: each name found as a key of `map` (entities decoded,
// trimmed) gets the mapped text; a name that is no key takes the text of the keys that
// differ from it only by invisible characters (see namePairs), when they agree.
EditSummary applyTranslations(const QString& folder, const QHash<QString, QString>& map);
// The same through a change already opened (whose templates() may have been listed).
EditSummary applyTranslations(TemplateChange& change, const QHash<QString, QString>& map);

// Published names of the installed plug-in paired by position with those of its
// untranslated copy, counted, merged and sorted.
QList<NamePair> namePairs(const QString& current, const std::optional<QString>& original);

// One template's bytes with its versions set as setVersion() sets them (`ozml` and
// `displayVersion` already checked); none when the text is not well-formed UTF-8 or nothing
// changes.
std::optional<QByteArray> rewrittenVersion(const QByteArray& text, const QByteArray& ozml,
                                           const QByteArray& displayVersion);

// Attribute text rules, exposed for the translation code.
QString decodeEntities(const QString& raw);
QString encodeEntities(const QString& value);

} // namespace TemplateInspector
