#pragma once

#include <QWidget>

#include "engine/model/Plugin.h"

class AppState;
class LibraryAuthModel;
class QLabel;
class QPushButton;

// The settings pane that shows the two template libraries and whether each is usable,
// and offers "完成授权" for a system library the user cannot write. The checks and the
// administrator prompt run off the GUI thread (LibraryAuthModel).
class LibraryPane : public QWidget
{
    Q_OBJECT
public:
    explicit LibraryPane(AppState* state, QWidget* parent = nullptr);

    LibraryAuthModel* model() const { return m_model; }
    // The status text and its tooltip holder, the authorisation button and the error line
    // of a library's card.
    QLabel* statusLabel(PluginRoot root) const;
    QWidget* statusRow(PluginRoot root) const;
    QPushButton* authorizeButton() const;
    QLabel* authErrorLabel() const;
    // The folder line of a library's card (cut in the middle; its tooltip holds it whole).
    QLabel* locationLabel(PluginRoot root) const;

protected:
    void showEvent(QShowEvent* event) override;

private:
    class RootCard;

    void sync();

    LibraryAuthModel* m_model;
    RootCard* m_cards[2] = {};
};
