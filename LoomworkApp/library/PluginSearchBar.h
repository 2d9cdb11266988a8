#pragma once

#include <QPointer>
#include <QWidget>

class AppState;
class QLineEdit;
class QPushButton;
class QToolButton;

// The search field over the list, bound to AppState::searchText. Escape and "取消" ask
// to close the search (the list view closes it and clears the text).
class PluginSearchBar : public QWidget
{
    Q_OBJECT
public:
    explicit PluginSearchBar(AppState* state, QWidget* parent = nullptr);

    QLineEdit* field() const { return m_field; }
    QToolButton* clearButton() const { return m_clear; }
    QPushButton* cancelButton() const { return m_cancel; }

signals:
    void closeRequested();

protected:
    void paintEvent(QPaintEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void restyle();
    void syncClear();

    QPointer<AppState> m_state;
    QWidget* m_frame;
    QLineEdit* m_field;
    QToolButton* m_clear;
    QPushButton* m_cancel;
};
