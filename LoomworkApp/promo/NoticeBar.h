#pragma once

#include <QString>
#include <QWidget>

class PaintedButton;

// The thin strip above the plug-in list with the server's notice: a megaphone, the heading
// (never cut), the text on one line in the remaining width (cut with an ellipsis, in full as
// its tooltip) and a close button. It knows nothing of the service: the owner reacts to
// closeClicked().
class NoticeBar : public QWidget
{
    Q_OBJECT
public:
    NoticeBar(const QString& title, const QString& text, QWidget* parent = nullptr);

    void setNotice(const QString& title, const QString& text);
    PaintedButton* closeButton() const { return m_close; }
    QSize sizeHint() const override;

signals:
    void closeClicked();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool event(QEvent* event) override;

private:
    QRectF textRect() const;

    QString m_title;
    QString m_text;
    QString m_fullText;
    PaintedButton* m_close;
};
