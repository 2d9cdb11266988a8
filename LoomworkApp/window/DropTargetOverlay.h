#pragma once

#include <QWidget>

// Shown over the whole window while a drag of files hovers over it: a brand-tinted wash,
// a card saying that dropped .zfcp files install, and a dashed brand border. It never
// takes the drop itself (transparent for mouse events); the root view does.
class DropTargetOverlay : public QWidget
{
    Q_OBJECT
public:
    explicit DropTargetOverlay(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
};
