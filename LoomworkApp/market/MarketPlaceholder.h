#pragma once

#include <QString>
#include <QWidget>

class BusySpinner;

// What a market tab shows instead of its content: a symbol with a title and a line (the
// empty shop, the empty lists, the sign-in prompt), or the loading state.
class MarketPlaceholder : public QWidget
{
    Q_OBJECT
public:
    explicit MarketPlaceholder(QWidget* parent = nullptr);

    void showMessage(const QString& symbol, const QString& title, const QString& text);
    void showLoading();

    bool isLoading() const { return m_loading; }
    const QString& title() const { return m_title; }
    const QString& text() const { return m_text; }
    const QString& symbol() const { return m_symbol; }

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    QString m_symbol;
    QString m_title;
    QString m_text;
    bool m_loading = false;
    BusySpinner* m_spinner;
};
