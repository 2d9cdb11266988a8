#pragma once

#include <QWidget>

// A 3 × 3 dot in the secondary colour at 0.55, between items of a line.
class Dot : public QWidget
{
    Q_OBJECT
public:
    explicit Dot(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
};
