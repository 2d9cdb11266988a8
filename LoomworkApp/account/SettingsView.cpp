#include "account/SettingsView.h"

#include <QHBoxLayout>
#include <QStackedWidget>
#include <QVBoxLayout>

#include "ui/Hairline.h"
#include "ui/SidebarSurface.h"
#include "account/AboutPane.h"
#include "account/AccountPane.h"
#include "account/AppearancePane.h"
#include "account/LibraryPane.h"
#include "account/SettingsModel.h"
#include "account/SettingsTabButton.h"

SettingsView::SettingsView(SettingsModel* model, AppState* state, LoginService* login, QWidget* parent)
    : QWidget(parent)
    , m_model(model)
{
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    auto* bar = new SidebarSurface;
    bar->setFixedHeight(kTabBarHeight);
    auto* tabs = new QHBoxLayout(bar);
    tabs->setContentsMargins(kTabBarSide, 0, kTabBarSide, 0);
    tabs->setSpacing(kTabSpacing);
    tabs->addStretch(1);
    for (const SettingsTab tab : SettingsTab::allCases()) {
        auto* button = new SettingsTabButton(tab, bar);
        m_tabs[tab] = button;
        tabs->addWidget(button, 0, Qt::AlignVCenter);
        connect(button, &SettingsTabButton::clicked, this, [this, tab] {
            if (m_model && m_model->tab() != tab)
                m_model->setTab(tab);
        });
    }
    tabs->addStretch(1);
    column->addWidget(bar);
    column->addWidget(new Hairline);

    m_stack = new QStackedWidget;
    m_appearance = new AppearancePane(state);
    m_library = new LibraryPane(state);
    m_account = new AccountPane(login, [this] { window()->close(); });
    m_about = new AboutPane;
    m_stack->addWidget(m_appearance);
    m_stack->addWidget(m_library);
    m_stack->addWidget(m_account);
    m_stack->addWidget(m_about);
    column->addWidget(m_stack, 1);

    if (m_model) {
        connect(m_model, &SettingsModel::tabChanged, this, &SettingsView::showTab);
        showTab(m_model->tab());
    }
}

void SettingsView::showTab(SettingsTab tab)
{
    for (const SettingsTab each : SettingsTab::allCases())
        m_tabs[each]->setSelected(each == tab);
    m_stack->setCurrentIndex(int(tab));
}

SettingsTabButton* SettingsView::tabButton(SettingsTab tab) const
{
    return m_tabs[tab];
}

QWidget* SettingsView::currentPane() const
{
    return m_stack->currentWidget();
}
