#pragma once

#include <QUrl>
#include <QWidget>

class QWebEngineProfile;
class QWebEngineView;

// The video site's embeddable player page in a web view the user cannot steer away from the
// site (the page's own redirects and frames go where they lead): an off-the-record profile,
// no new windows, no downloads, no permissions.
class BiliWebPlayer : public QWidget {
    Q_OBJECT
public:
    explicit BiliWebPlayer(const QUrl& url, QWidget* parent = nullptr);
    ~BiliWebPlayer() override;

    void setUrl(const QUrl& url);
    QUrl url() const { return m_url; }

private:
    QUrl m_url;
    // The last address the view showed that the site's rules allow.
    QUrl m_lastAllowed;
    QWebEngineProfile* m_profile;
    QWebEngineView* m_view;
    bool m_loading = false;
};
