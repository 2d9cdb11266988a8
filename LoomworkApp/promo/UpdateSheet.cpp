#include "promo/UpdateSheet.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLayout>
#include <QPainter>
#include <QPushButton>
#include <QScrollArea>
#include <QTimer>
#include <QVBoxLayout>

#include "online/AppVersion.h"
#include "online/OnlineText.h"
#include "online/RemoteConfigService.h"
#include "online/SafeLink.h"
#include "ui/Hairline.h"
#include "ui/SymbolIcon.h"
#include "ui/Appearance.h"
#include "ui/Theme.h"
#include "promo/PromoStyle.h"

namespace {

constexpr int kEmptyHeight = 264;
constexpr int kBaseHeight = 404;
constexpr int kLineHeight = 46;
constexpr int kMaxHeight = 560;
constexpr int kIconSide = 54;
constexpr qsizetype kMaxShownLines = 200;

QFont monoFont(qreal points, QFont::Weight weight)
{
    QFont f = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    f.setPointSizeF(Theme::pointSizeForPixels(points));
    f.setWeight(weight);
    return f;
}

QLabel* plainLabel(const QString& text, const QFont& font, QColor (*color)(), QWidget* parent)
{
    auto* label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText);
    label->setText(text);
    label->setFont(font);
    followColour(label, QPalette::WindowText, color);
    return label;
}

// A fixed-size widget drawn by a function.
class Drawn : public QWidget
{
public:
    Drawn(QSize size, std::function<void(QPainter&, const QRectF&)> draw, QWidget* parent)
        : QWidget(parent), m_draw(std::move(draw))
    {
        setFixedSize(size);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        m_draw(p, QRectF(rect()));
    }

private:
    std::function<void(QPainter&, const QRectF&)> m_draw;
};

} // namespace

UpdateSheet::UpdateSheet(const UpdateAlert& alert, QWidget* parent) : QDialog(parent), m_alert(alert)
{
    build();
}

int UpdateSheet::heightFor(const UpdateAlert& alert)
{
    const qsizetype n = alert.changelog.size();
    if (n == 0)
        return kEmptyHeight;
    return int(std::min<qsizetype>(kBaseHeight + kLineHeight * std::max<qsizetype>(n - 5, 0), kMaxHeight));
}

void UpdateSheet::setAlert(const UpdateAlert& alert)
{
    if (alert == m_alert)
        return;
    m_alert = alert;
    build();
}

void UpdateSheet::build()
{
    if (QLayout* old = layout()) {
        while (QLayoutItem* item = old->takeAt(0)) {
            if (QWidget* w = item->widget()) {
                // Later: the sheet may be rebuilt from a signal of one of its own children.
                w->hide();
                w->deleteLater();
            }
            delete item;
        }
        delete old;
    }
    const bool forced = m_alert.forced;
    setFixedSize(kWidth, heightFor(m_alert));

    auto* root = new QVBoxLayout(this);
    root->setContentsMargins(0, 0, 0, 0);
    root->setSpacing(0);

    // Header
    auto* header = new QWidget(this);
    auto* headerLayout = new QVBoxLayout(header);
    headerLayout->setContentsMargins(0, 20, 0, 15);
    headerLayout->setSpacing(9);
    auto* icon = new Drawn(QSize(kIconSide, kIconSide), [](QPainter& p, const QRectF& r) {
        p.setPen(Qt::NoPen);
        p.setBrush(PromoStyle::faded(Theme::accent(), 0.14));
        p.drawEllipse(r);
        SymbolIcon::paint(p, r, u"arrow.down.circle.fill", Theme::accent(), 26);
    }, header);
    headerLayout->addWidget(icon, 0, Qt::AlignHCenter);
    const QString heading = forced ? QStringLiteral("需要更新后才能继续使用") : QStringLiteral("发现新版本");
    setWindowTitle(heading);
    m_title = plainLabel(heading, Theme::headingFont(), &Theme::textPrimary, header);
    headerLayout->addWidget(m_title, 0, Qt::AlignHCenter);

    auto* versions = new QWidget(header);
    auto* versionLayout = new QHBoxLayout(versions);
    versionLayout->setContentsMargins(0, 1, 0, 0);
    versionLayout->setSpacing(8);
    versionLayout->addWidget(plainLabel(AppVersion::display(), monoFont(12, QFont::Normal),
                                        &Theme::textSecondary, versions));
    versionLayout->addWidget(new Drawn(QSize(12, 12), [](QPainter& p, const QRectF& r) {
        SymbolIcon::paint(p, r, u"arrow.right", Theme::textSecondary(), 10);
    }, versions));
    const QFont capsuleFont = monoFont(13, QFont::DemiBold);
    const QString version = PromoStyle::oneLine(m_alert.version, 40);
    const QSizeF textSize = QFontMetricsF(capsuleFont).size(Qt::TextSingleLine, version);
    auto* capsule = new Drawn(QSize(int(std::ceil(textSize.width())) + 16, int(std::ceil(textSize.height())) + 4),
                              [capsuleFont, version](QPainter& p, const QRectF& r) {
        p.setPen(Qt::NoPen);
        p.setBrush(PromoStyle::faded(Theme::accent(), 0.13));
        p.drawRoundedRect(r, r.height() / 2, r.height() / 2);
        p.setFont(capsuleFont);
        p.setPen(Theme::accent());
        p.drawText(r, Qt::AlignCenter, version);
    }, versions);
    versionLayout->addWidget(capsule);
    headerLayout->addWidget(versions, 0, Qt::AlignHCenter);
    root->addWidget(header);
    root->addWidget(new Hairline(this));

    // Notes
    m_notes = nullptr;
    if (m_alert.changelog.isEmpty()) {
        auto* empty = new QWidget(this);
        auto* emptyLayout = new QVBoxLayout(empty);
        emptyLayout->setContentsMargins(24, 0, 24, 0);
        emptyLayout->setSpacing(6);
        emptyLayout->addStretch(1);
        auto* first = plainLabel(QStringLiteral("本次为常规更新，建议尽快升级到最新版本。"), Theme::bodyFont(),
                                 &Theme::textPrimary, empty);
        auto* second = plainLabel(QStringLiteral("更新完成后重新打开 App 即可生效。"), Theme::captionFont(),
                                  &Theme::textSecondary, empty);
        for (QLabel* label : {first, second}) {
            label->setAlignment(Qt::AlignHCenter);
            label->setWordWrap(true);
            emptyLayout->addWidget(label);
        }
        emptyLayout->addStretch(1);
        root->addWidget(empty, 1);
    } else {
        m_notes = new QScrollArea(this);
        m_notes->setFrameShape(QFrame::NoFrame);
        m_notes->setWidgetResizable(true);
        m_notes->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        auto* list = new QWidget(m_notes);
        list->setAutoFillBackground(false);
        auto* listLayout = new QVBoxLayout(list);
        listLayout->setContentsMargins(22, 16, 22, 16);
        listLayout->setSpacing(9);
        // A runaway changelog is shown in part: the sheet's height stops growing at nine
        // lines anyway, and thousands of rows would only stall the window.
        const QStringList lines = m_alert.changelog.mid(0, kMaxShownLines);
        for (const QString& rawLine : lines) {
            const QString line = PromoStyle::displayCut(rawLine, 1000);
            auto* row = new QHBoxLayout;
            row->setSpacing(9);
            // As high as the first text line, the dot on its middle.
            const int lineHeight = QFontMetrics(Theme::bodyFont()).height();
            auto* dot = new Drawn(QSize(5, lineHeight), [](QPainter& p, const QRectF& r) {
                p.setPen(Qt::NoPen);
                p.setBrush(PromoStyle::faded(Theme::accent(), 0.85));
                p.drawEllipse(QRectF(0, r.center().y() - 2.5, 5, 5));
            }, list);
            row->addWidget(dot, 0, Qt::AlignTop);
            auto* text = plainLabel(line, Theme::bodyFont(), &Theme::textPrimary, list);
            text->setWordWrap(true);
            row->addWidget(text, 1);
            listLayout->addLayout(row);
        }
        listLayout->addStretch(1);
        m_notes->setWidget(list);
        m_notes->viewport()->setAutoFillBackground(false);
        root->addWidget(m_notes, 1);
    }
    root->addWidget(new Hairline(this));

    // Footer
    auto* footer = new QWidget(this);
    auto* footerLayout = new QHBoxLayout(footer);
    footerLayout->setContentsMargins(18, 14, 18, 14);
    footerLayout->setSpacing(10);
    m_later = nullptr;
    if (!forced) {
        m_later = new QPushButton(QStringLiteral("以后再说"), footer);
        m_later->setAutoDefault(false);
        connect(m_later, &QPushButton::clicked, this, [this] {
            emit laterClicked();
            accept();
        });
        footerLayout->addWidget(m_later);
    }
    footerLayout->addStretch(1);
    m_update = new QPushButton(forced ? QStringLiteral("立即更新") : QStringLiteral("更新"), footer);
    m_update->setDefault(true);
    Appearance::follow(m_update, [button = m_update] { makeProminent(button, Theme::accent()); });
    connect(m_update, &QPushButton::clicked, this, &UpdateSheet::openDownload);
    footerLayout->addWidget(m_update);
    root->addWidget(footer);
}

void UpdateSheet::openDownload()
{
    const QString address = m_alert.url ? *m_alert.url : AppVersion::toolsPageUrl();
    // SafeLink trims and refuses what it does not allow; a bad link never falls back.
    SafeLink::open(SafeLink::url(address));
}

void UpdateSheet::closeByOwner()
{
    m_closingByOwner = true;
    done(QDialog::Rejected);
}

void UpdateSheet::reject()
{
    if (m_alert.forced && !m_closingByOwner)
        return;
    QDialog::reject();
}

void UpdateSheet::quitApplication()
{
    // Qt's closeAllWindows() stops at the first window that refuses, and a forced sheet
    // refuses; with the window it sits on closed, it no longer holds the quit back.
    QWidgetList windows;
    QWidgetList hosts;
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (!window->isVisible() || qobject_cast<UpdateSheet*>(window))
            continue;
        (window->findChild<UpdateSheet*>(QString(), Qt::FindDirectChildrenOnly) ? hosts : windows).append(window);
    }
    for (QWidget* window : windows + hosts) {
        if (!window->close())
            return;
    }
    QCoreApplication::quit();
}

void UpdateSheet::keyPressEvent(QKeyEvent* event)
{
    // The quit command of the window below, which the sheet blocks (the platform's key, else
    // Ctrl+Q: some platforms' key tables have none).
    if (event->matches(QKeySequence::Quit) || event->keyCombination() == QKeyCombination(Qt::ControlModifier, Qt::Key_Q)) {
        event->accept();
        quitApplication();
        return;
    }
    if (event->key() == Qt::Key_Escape && m_alert.forced) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void UpdateSheet::closeEvent(QCloseEvent* event)
{
    if (m_alert.forced && !m_closingByOwner) {
        // A sheet that cannot be dismissed: closing it (its close button, the window system)
        // means leaving Loomwork. Later, outside the close being delivered.
        event->ignore();
        QTimer::singleShot(0, this, &UpdateSheet::quitApplication);
        return;
    }
    QDialog::closeEvent(event);
}

UpdateSheet* UpdateSheet::present(const UpdateAlert& alert, RemoteConfigService& service, QWidget* host)
{
    auto* sheet = new UpdateSheet(alert, host);
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    sheet->setWindowModality(Qt::WindowModal);
    QPointer<RemoteConfigService> owner(&service);
    connect(sheet, &UpdateSheet::laterClicked, &service, [owner, sheet] {
        if (owner)
            owner->snooze(sheet->alert().version);
    });
    connect(sheet, &QDialog::rejected, &service, [owner, sheet] {
        if (owner && !sheet->m_closingByOwner)
            owner->clearUpdate();
    });
    connect(&service, &RemoteConfigService::updateChanged, sheet, [owner, sheet] {
        if (!owner)
            return;
        if (const auto& update = owner->update())
            sheet->setAlert(*update);
        else if (sheet->isVisible())
            sheet->closeByOwner();
    });
    sheet->open();
    return sheet;
}
