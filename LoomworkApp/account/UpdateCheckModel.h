#pragma once

#include <optional>

#include <QObject>
#include <QString>

#include "online/UpdateAlert.h"

class RemoteConfigService;

// The about pane's "检查更新": a forced reload of the remote configuration through the
// pane's own service, then either the update prompt or a line under the button. One check
// runs at a time: asking again while one runs does nothing (two would open two prompts).
class UpdateCheckModel : public QObject
{
    Q_OBJECT
public:
    static constexpr const char* checkingText = "正在检查…";
    static constexpr const char* failedText = "检查失败，请确认网络后重试";

    explicit UpdateCheckModel(QObject* parent = nullptr);

    RemoteConfigService* remote() const { return m_remote; }
    const std::optional<QString>& hint() const { return m_hint; }

    void check();

    // "已是最新版本（" + the running version + "）".
    static QString upToDateText();

signals:
    void hintChanged();
    void checkingChanged(bool checking);
    // A newer version: the update prompt opens for it.
    void updateOffered(const UpdateAlert& alert);

private:
    void setHint(const std::optional<QString>& hint);

    RemoteConfigService* m_remote;
    std::optional<QString> m_hint;
    bool m_checking = false;
};
