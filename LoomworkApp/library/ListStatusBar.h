#pragma once

#include <QWidget>

class Dot;
class PluginListController;
class QLabel;

// The line under the plug-in list: scanning, the filter, counts, total size, the
// selection, the last scan (wide windows only) and a system-library read error.
class ListStatusBar : public QWidget
{
    Q_OBJECT
public:
    explicit ListStatusBar(PluginListController* controller, QWidget* parent = nullptr);

    void setWindowWidth(int width);
    // The texts shown now, left to right, without the dots (for tests and accessibility).
    QStringList visibleTexts() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    class Spinner;
    void refresh();
    void restyle();
    QLabel* addLabel();

    PluginListController* m_controller;
    int m_windowWidth;
    Spinner* m_spinner;
    QLabel* m_scanning;
    Dot* m_scanDot;
    QLabel* m_filter;
    QLabel* m_count;
    QLabel* m_total;
    Dot* m_selectedDot;
    QLabel* m_selected;
    Dot* m_lastScanDot;
    QLabel* m_lastScan;
    QLabel* m_warningIcon;
    QLabel* m_warning;
    QList<QLabel*> m_ordered;
};
