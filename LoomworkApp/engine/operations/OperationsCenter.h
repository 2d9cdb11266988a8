#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

#include "engine/core/Delivery.h"
#include "engine/core/ProgressThrottle.h"
#include "engine/operations/Installation.h"
#include "engine/model/InstallPlan.h"
#include "engine/model/Plugin.h"

struct ZFCPackItem;
class HeldFolders;
class QThread;

enum class BackupMode {
    single, // all chosen plug-ins in one package
    multi   // one package per plug-in inside a chosen folder
};

// Runs the long file operations that change or copy whole plug-ins (install, delete,
// back up), one at a time on a worker, and publishes a busy flag, a status line, a
// progress fraction and, after a failure, an alert. Used on the GUI thread only.
class OperationsCenter : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool isBusy READ isBusy NOTIFY isBusyChanged)
    Q_PROPERTY(QString statusText READ statusText NOTIFY statusTextChanged)
    Q_PROPERTY(double progress READ progress NOTIFY progressChanged)

public:
    using Callback = std::function<void()>;

    explicit OperationsCenter(QObject* parent = nullptr);
    ~OperationsCenter() override;

    bool isBusy() const { return m_isBusy; }
    QString statusText() const { return m_statusText; }
    double progress() const { return m_progress; }
    std::optional<QString> alertTitle() const { return m_alertTitle; }
    std::optional<QString> alertMessage() const { return m_alertMessage; }

    // The shared alert: the drop intake writes it too; the root view clears the title
    // when the alert is dismissed.
    void setAlertTitle(const std::optional<QString>& title);
    void setAlertMessage(const std::optional<QString>& message);

    // Each does nothing at all while busy or when given an empty list.
    void install(const QStringList& files, const InstallPlan& plan, Callback onFinished = {});
    // Deletes the plug-ins as the list showed them (their identities); `spared`: the other
    // plug-ins the list shows, never removed as part of one of these. `held`: the folders the
    // confirmation read their owners through, and the owners it told (HeldFolders).
    void remove(const QList<Plugin>& plugins, Callback onFinished = {}, std::vector<SafeFS::Identity> spared = {},
                std::shared_ptr<HeldFolders> held = {});
    void backup(const QList<Plugin>& plugins, BackupMode mode,
                const std::optional<QString>& defaultFileName = std::nullopt,
                Callback onFinished = {});

    // What a finished backup does besides its status line. The system sound is a widget
    // call, so the shell installs it (none until then). Reveal shows the destination in the
    // file manager; an empty handler restores that default. Tests replace both. GUI thread.
    using RevealHandler = std::function<void(const QString& path)>;
    static void setBeepHandler(Callback handler);
    static void setRevealHandler(RevealHandler handler);
    // Shows `path` in the file manager (or hands it to the installed reveal handler).
    static void reveal(const QString& path);

signals:
    void isBusyChanged(bool busy);
    void statusTextChanged(const QString& text);
    void progressChanged(double progress);
    void alertChanged();

private:
    void begin(const QString& text);
    void setBusy(bool busy);
    void setStatusText(const QString& text);
    void setProgress(double progress);
    void publishFailure(const QString& title, const QString& message);
    // Runs the work `make()` gives on the operation's own thread. When the system cannot make
    // one, or memory runs out for the work's copy of what it needs, the work never runs and the
    // operation ends at once with `title` and `failure` (nothing was changed).
    template <class Make>
    void startWorker(const Make& make, const QString& title, const QString& failure);
    // An operation that ran out of memory before its worker started: it ends with `message`
    // (which says what stands on disk) and nothing stays busy.
    void failBeforeStart(const QString& title, const QString& message) noexcept;
    void askAndPack(const QList<Plugin>& plugins, BackupMode mode, const std::optional<QString>& defaultFileName,
                    Callback onFinished);
    // `seen`: each item's identity as the list showed it.
    void startPack(const std::vector<ZFCPackItem>& items, const std::vector<SafeFS::Identity>& seen, BackupMode mode,
                   const QString& destination, Callback onFinished);

    // Workers reach the runner only through this: results are posted to the GUI thread and
    // dropped there when the runner is gone.
    using Guard = Delivery<OperationsCenter>;
    static void post(const Guard& guard, std::function<void(OperationsCenter&)> change);
    static void guarded(const Guard& guard, const QString& failureTitle, const std::function<void()>& work);
    static void runInstall(const Guard& guard, const QStringList& files, const InstallPlan& plan,
                           const Callback& onFinished);
    static void installed(const Guard& guard, const Installation::Outcome& outcome, ProgressThrottle& throttle,
                          const Callback& onFinished) noexcept;
    // The end of an operation whose change is made, said with as little as it takes.
    static void postDone(const Guard& guard, const QString& text, const Callback& onFinished) noexcept;
    static void runRemove(const Guard& guard, const QList<Plugin>& plugins, const std::vector<SafeFS::Identity>& spared,
                          const Callback& onFinished, HeldFolders* held);
    // runRemove()'s steps; `succeeded` counts the plug-ins deleted so far.
    static void removeEach(const Guard& guard, const QList<Plugin>& plugins, const std::vector<SafeFS::Identity>& spared,
                           const Callback& onFinished, int& succeeded, HeldFolders* held);
    static void runPack(const Guard& guard, const std::vector<ZFCPackItem>& items,
                        const std::vector<SafeFS::Identity>& seen, BackupMode mode, const QString& destination,
                        const Callback& onFinished);

    Guard m_guard;
    // The last operation's worker: a thread of its own, so that one that cannot be made is
    // known at once. Waited for before the runner or the next operation replaces it.
    std::unique_ptr<QThread> m_worker;

    bool m_isBusy = false;
    QString m_statusText;
    double m_progress = 0;
    std::optional<QString> m_alertTitle;
    std::optional<QString> m_alertMessage;
};
