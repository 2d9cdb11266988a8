#pragma once

#include <QList>
#include <QPointer>
#include <QWidget>

#include "engine/library/AppState.h"

class QAbstractButton;

// The settings pane that chooses light, dark or following the system: three cards, the
// selected one checked and outlined. A click only sets the state's appearance; applying
// and storing it is the state's (and the shell's) work.
class AppearancePane : public QWidget
{
    Q_OBJECT
public:
    explicit AppearancePane(AppState* state, QWidget* parent = nullptr);

    // In the order light/dark/system are listed: system, light, dark.
    QList<QAbstractButton*> cards() const;

private:
    class Card;

    QPointer<AppState> m_state;
    QList<Card*> m_cards;
};
