#pragma once

#include <functional>
#include <optional>

#include <QHash>
#include <QPointer>
#include <QWidget>

#include "online/Member.h"
#include "library/SidebarModel.h"

class AppState;
class QScrollArea;
class QVBoxLayout;
class SidebarRow;
class SidebarUserBar;

// The left column of the main window: the library and category filters of the shared
// AppState with their counts, the market entry, the promotion carousel (only while there
// are cards) and the user bar. It owns no data; the root view supplies the callbacks.
class SidebarView : public QWidget
{
    Q_OBJECT
public:
    struct Callbacks
    {
        // Gear button: the settings window on its appearance tab.
        std::function<void()> onOpenSettings;
        // Account button: the settings window on its account tab.
        std::function<void()> onOpenAccount;
        // Market row: the market window.
        std::function<void()> onOpenMarket;
        // The distance of the user area's top edge above the window's bottom edge, reported
        // on a later turn of the event loop after the area moved or changed size.
        std::function<void(qreal)> onDividerY;
    };

    SidebarView(AppState* state, Callbacks callbacks, QWidget* parent = nullptr);

    // The signed-in member, or none while nobody is known.
    void setMember(const std::optional<Member>& member);

    // The promotion carousel built from the configuration's cards, or nullptr when there
    // are none: then nothing takes its place. The sidebar takes ownership and deletes the
    // previous one.
    void setCarousel(QWidget* carousel);
    QWidget* carousel() const { return m_carousel; }

    SidebarModel* model() const { return m_model; }
    SidebarRow* row(SidebarModel::RowId id) const { return m_rows.value(id); }
    SidebarUserBar* userBar() const { return m_userBar; }
    QWidget* userArea() const { return m_userArea; }
    QScrollArea* scrollArea() const { return m_scroll; }

    static constexpr int kRowSpacing = 2;
    static constexpr int kContentPaddingH = 12;
    static constexpr int kContentPaddingBottom = 10;

    QSize sizeHint() const override { return {256, 640}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void refreshRows();
    void reportDividerY();

    SidebarModel* m_model;
    Callbacks m_callbacks;
    QHash<SidebarModel::RowId, SidebarRow*> m_rows;
    QScrollArea* m_scroll;
    QWidget* m_carouselSlot;
    QVBoxLayout* m_carouselLayout;
    QPointer<QWidget> m_carousel;
    QWidget* m_userArea;
    SidebarUserBar* m_userBar;
};
