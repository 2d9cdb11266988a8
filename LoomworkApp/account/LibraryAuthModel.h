#pragma once

#include <optional>

#include <QObject>
#include <QPointer>
#include <QString>

#include "engine/library/AppState.h"
#include "engine/model/Plugin.h"


// The library pane's state: whether the system library is writable, an authorisation in
// progress and its last failure, and each library's status line. The writability check
// and the administrator commands run on a worker; the GUI thread never waits for them and
// a result that comes back after the model is gone is dropped.
class LibraryAuthModel : public QObject
{
    Q_OBJECT
public:
    static constexpr const char* authFailedText = "未获得管理员授权，系统库仍为只读。";
    // The system cannot ask for administrator rights at all (no pkexec): not a refusal.
    static QString noAuthToolText();
    // A library's folder as the pane names it: the system library's folder in use, except on
    // macOS, where it is always under /Library.
    static QString locationText(PluginRoot root);

    struct Status {
        enum class Dot {
            green,
            orange,
            red
        };
        Dot dot = Dot::green;
        QString text;
        QString tooltip;
        bool offersAuthorization = false; // the unauthorised system library
        QString buttonText;
        bool buttonEnabled = false;
    };

    explicit LibraryAuthModel(AppState* state, QObject* parent = nullptr);

    bool systemWritable() const { return m_systemWritable; }
    bool isAuthorizing() const { return m_authorizing; }
    const std::optional<QString>& authError() const { return m_authError; }
    Status status(PluginRoot root) const;

    // Each time the pane is shown.
    void refreshSystemWritable();
    // "完成授权": prepares the system library with administrator rights, then rescans both
    // libraries when it became writable. A second call while one runs does nothing.
    void authorizeSystem();

signals:
    void changed();

private:
    void applyCheck(quint64 generation, bool writable);
    void applyAuthorization(bool writable, bool noTool);

    QPointer<AppState> m_state;
    bool m_systemWritable = true;
    bool m_authorizing = false;
    std::optional<QString> m_authError;
    // A check started before an authorisation ended must not overwrite its outcome.
    quint64 m_checkGeneration = 0;
};
