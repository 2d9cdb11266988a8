#pragma once

#include <optional>

#include <QMetaType>
#include <QString>

// The stage the market's download-and-install pipeline publishes.
struct MarketInstallStage
{
    enum class Kind {
        idle,
        downloading,
        installing,
        done,
        failed
    };

    Kind kind = Kind::idle;
    qint64 received = 0; // downloading
    qint64 total = 0;    // downloading; 0 or negative when the server gave no length
    double progress = 0; // installing
    QString message;     // done, failed; installing: what it waits for, if anything

    static MarketInstallStage idle() { return {}; }
    static MarketInstallStage downloading(qint64 received, qint64 total) { return {Kind::downloading, received, total, 0, {}}; }
    static MarketInstallStage installing(double progress, QString waiting = {})
    {
        return {Kind::installing, 0, 0, progress, std::move(waiting)};
    }
    static MarketInstallStage done(QString message) { return {Kind::done, 0, 0, 0, std::move(message)}; }
    static MarketInstallStage failed(QString message) { return {Kind::failed, 0, 0, 0, std::move(message)}; }

    bool operator==(const MarketInstallStage&) const = default;

    bool isBusy() const { return kind == Kind::downloading || kind == Kind::installing; }
    // received / total or the install progress, in 0...1; 1 when done; nothing otherwise.
    std::optional<double> fraction() const;
    // "正在下载 42%", "正在下载 1.5 MB", "正在安装 30%" (or what it waits for), the message, or "".
    QString title() const;

    // "512 B", "3 KB", "1.5 MB".
    static QString mb(qint64 bytes);
};

Q_DECLARE_METATYPE(MarketInstallStage)
