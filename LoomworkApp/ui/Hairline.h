#pragma once

#include <QWidget>

// A divider 0.5 high across the full width.
class Hairline : public QWidget
{
    Q_OBJECT
public:
    explicit Hairline(QWidget* parent = nullptr);
    QSize sizeHint() const override { return {1, 1}; }

protected:
    void paintEvent(QPaintEvent* event) override;
};
