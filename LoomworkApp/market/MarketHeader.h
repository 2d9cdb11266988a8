#pragma once

#include <QList>
#include <QWidget>

class MarketWindowModel;
class QAbstractButton;
class QAction;
class QLabel;
class QLineEdit;
class QToolButton;

// The market window's header bar: logo and title, the search field and category menu (shop
// only), the tab pills, the sort chips (shop only), the count text and the refresh button,
// on the sidebar's surface. It reads and drives the window's model.
class MarketHeader : public QWidget
{
    Q_OBJECT
public:
    explicit MarketHeader(MarketWindowModel* model, QWidget* parent = nullptr);

    QLineEdit* searchField() const { return m_search; }
    QToolButton* categoryButton() const { return m_category; }
    QList<QAbstractButton*> tabPills() const { return m_tabs; }
    QList<QAbstractButton*> sortChips() const { return m_sorts; }
    QAbstractButton* refreshButton() const { return m_refresh; }
    QLabel* countLabel() const { return m_count; }
    QWidget* sortDivider() const { return m_divider; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    class Button;
    void sync();
    void restyle();
    void rebuildCategoryMenu();

    MarketWindowModel* m_model;
    QLineEdit* m_search;
    QAction* m_clear;
    QToolButton* m_category;
    QList<QAbstractButton*> m_tabs;
    QList<QAbstractButton*> m_sorts;
    QAbstractButton* m_refresh;
    QLabel* m_title;
    QLabel* m_subtitle;
    QLabel* m_count;
    QWidget* m_divider;
};
