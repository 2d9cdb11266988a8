#pragma once

#include <QUrl>
#include <QWidget>

class QLabel;
class QWebEngineProfile;
class QWebEngineView;

// The video site's embeddable player page in a web view the user cannot steer away from the
// site (the page's own redirects and frames go where they lead): an off-the-record profile,
// no new windows, no downloads, no permissions. A page that cannot load shows a short line
// of its own, never the engine's error page.
class BiliWebPlayer : public QWidget {
    Q_OBJECT
public:
    static constexpr const char* failedText = "视频暂时打不开，请检查网络后再试";

    explicit BiliWebPlayer(const QUrl& url, QWidget* parent = nullptr);
    ~BiliWebPlayer() override;

    void setUrl(const QUrl& url);
    QUrl url() const { return m_url; }

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void showFailure(bool shown);
    void placeFailure();

    QUrl m_url;
    // The last address the view showed that the site's rules allow.
    QUrl m_lastAllowed;
    QWebEngineProfile* m_profile;
    QWebEngineView* m_view;
    QLabel* m_failure;
    bool m_loading = false;
};
