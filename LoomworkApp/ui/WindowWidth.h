#pragma once

class QWidget;

// The width of the window content that a container publishes to the views below it.
class WindowWidth
{
public:
    static constexpr int kDefault = 1180;

    static void publish(QWidget* container, int width);
    // The width published by the nearest container above `widget`, else kDefault.
    static int of(const QWidget* widget);
};
