#pragma once

#include <functional>

#include <QColor>
#include <QString>
#include <QWidget>

class QLabel;

// Views shared by the version and localize sheets.
namespace TemplateSheetPieces {

// An info chip: its text in F::tiny and a colour, padded 7 by 3, on a pill capsule.
class InfoChip : public QWidget
{
public:
    explicit InfoChip(QWidget* parent = nullptr);
    void set(const QString& text, std::function<QColor()> color);
    QString text() const { return m_text; }
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString m_text;
    std::function<QColor()> m_color;
};

// A symbol before a wrapping plain text, both in one colour; no symbol for a plain note.
class Message : public QWidget
{
public:
    explicit Message(QWidget* parent = nullptr);
    void set(const QString& symbol, const QString& text, const QFont& font, std::function<QColor()> color);
    QString text() const;
    void restyle();

private:
    QLabel* m_symbol;
    QLabel* m_text;
    QString m_symbolName;
    std::function<QColor()> m_color;
};

// Two segments side by side, one of them on; the whole control is `width` wide.
class Segments : public QWidget
{
    Q_OBJECT
public:
    Segments(const QString& first, const QString& second, int width, QWidget* parent = nullptr);
    int current() const { return m_current; }
    void setCurrent(int index);
    QSize sizeHint() const override;

signals:
    void currentChanged(int index);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    QString m_titles[2];
    int m_width;
    int m_current = 0;
};

// A strip on the bar material (the footers, the column header).
class Bar : public QWidget
{
public:
    explicit Bar(QWidget* parent = nullptr) : QWidget(parent) {}

protected:
    void paintEvent(QPaintEvent* event) override;
};

} // namespace TemplateSheetPieces
