#pragma once

#include <QWidget>

class QLabel;
class QPushButton;

// Fills the list area when nothing is listed: an empty library, or a filter that
// matches nothing (`hasAnyPlugin`), each with its own symbol, words and buttons.
class EmptyStateView : public QWidget
{
    Q_OBJECT
public:
    explicit EmptyStateView(QWidget* parent = nullptr);

    void setHasAnyPlugin(bool hasAnyPlugin);
    bool hasAnyPlugin() const { return m_hasAnyPlugin; }

    QString title() const;
    QString message() const;
    QString symbol() const;
    QPushButton* refreshButton() const { return m_refresh; }
    QPushButton* installButton() const { return m_install; }

    static constexpr int kMessageWidth = 340;

signals:
    void refreshRequested();
    void installRequested();

protected:
    void changeEvent(QEvent* event) override;

private:
    class Icon;
    void restyle();
    void fitMessage();

    bool m_hasAnyPlugin = false;
    Icon* m_icon;
    QLabel* m_title;
    QLabel* m_message;
    QPushButton* m_refresh;
    QPushButton* m_install;
};
