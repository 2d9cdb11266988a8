#include "ui/AppAlert.h"

#include <algorithm>

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTextLayout>
#include <QTimer>

#include "ui/AppWindows.h"
#include "ui/ConfirmBroker.h"
#include "ui/DialogPlacement.h"
#include "ui/Theme.h"

namespace {

constexpr int kRecentreDelayMs = 250;
const char* const kPrimaryProperty = "loomworkPrimaryButton";
// The informative text's column: at most kMaxTextWidth; a wrapped text is tried at
// narrower widths, down to kMinWrapWidth.
constexpr int kMaxTextWidth = 400;
constexpr int kMinWrapWidth = 260;
constexpr int kWrapStep = 2;

// Chinese has no spaces: a line may end between any two characters. Between two Han
// characters it may cut a word (插/件), so an acceptable line end lies anywhere else: at a
// space, after punctuation, beside Latin letters or digits.
bool cutsAWord(const QString& text, int at)
{
    return at > 0 && at < text.size() && text.at(at - 1).script() == QChar::Script_Han
           && text.at(at).script() == QChar::Script_Han;
}

struct Wrap {
    bool fits = true;         // no unbreakable run is wider than the column
    bool betweenWords = true; // no line ends inside a word
};

Wrap wrapAt(const QStringList& paragraphs, const QFont& font, int width)
{
    Wrap wrap;
    for (const QString& paragraph : paragraphs) {
        QTextLayout layout(paragraph, font);
        layout.beginLayout();
        for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
            line.setLineWidth(width);
            wrap.fits = wrap.fits && line.naturalTextWidth() <= width;
            wrap.betweenWords = wrap.betweenWords && !cutsAWord(paragraph, line.textStart() + line.textLength());
        }
        layout.endLayout();
    }
    return wrap;
}

// The informative text's column: as wide as its longest paragraph up to the cap; past it,
// the widest width from the cap down whose every line ends between words (the cap when
// there is none). Zero when a run without a break (a long file name) is wider than the
// cap: the box's own sizing then widens to it.
int textWidth(const QString& text, const QFont& font)
{
    const QStringList paragraphs = text.split(QLatin1Char('\n'));
    const QFontMetrics metrics(font);
    int natural = 0;
    for (const QString& paragraph : paragraphs)
        natural = std::max(natural, metrics.horizontalAdvance(paragraph) + 1);
    if (natural <= kMaxTextWidth)
        return natural;
    if (!wrapAt(paragraphs, font, kMaxTextWidth).fits)
        return 0;
    for (int width = kMaxTextWidth; width >= kMinWrapWidth; width -= kWrapStep) {
        const Wrap wrap = wrapAt(paragraphs, font, width);
        if (!wrap.fits)
            break;
        if (wrap.betweenWords)
            return width;
    }
    return kMaxTextWidth;
}

QMessageBox::Icon iconFor(AppAlert::Style style)
{
    switch (style) {
    case AppAlert::Style::warning:
        return QMessageBox::Warning;
    case AppAlert::Style::informational:
        return QMessageBox::Information;
    case AppAlert::Style::critical:
        return QMessageBox::Critical;
    }
    return QMessageBox::Warning;
}

bool askOnGuiThread(const QString& title, const QString& message, AppAlert::Style style,
                    const QString& primary, const QString& secondary)
{
    QWidget* host = AppAlert::hostWindow();
    // Owned by the host while it runs; a host closed meanwhile takes the alert with it.
    QPointer<QMessageBox> box =
        AppAlert::makeAlert(title, message, style, primary, secondary, host);
    if (auto origin = AppAlert::centerOrigin(*box)) {
        box->move(*origin);
        // Window managers may place the box themselves once it maps: centre it again.
        const QPoint at = *origin;
        QTimer::singleShot(kRecentreDelayMs, box.data(), [box, at] {
            if (box)
                box->move(at);
        });
    }
    AppAlert::broker().track(box.data());
    box->exec();
    if (!box)
        return false;
    auto* primaryButton = box->property(kPrimaryProperty).value<QAbstractButton*>();
    const bool chosePrimary = box->clickedButton() && box->clickedButton() == primaryButton;
    delete box.data();
    return chosePrimary;
}

} // namespace

static void shutDownBroker()
{
    AppAlert::broker().shutDown();
}

ConfirmBroker& AppAlert::broker()
{
    static ConfirmBroker* broker = [] {
        auto* b = new ConfirmBroker;
        if (QCoreApplication* app = QCoreApplication::instance())
            QObject::connect(app, &QCoreApplication::aboutToQuit, app, [b] { b->shutDown(); });
        // Also when the application object goes without its event loop having ended: this
        // runs before the global thread pool is waited for, so no worker is left waiting.
        qAddPostRoutine(shutDownBroker);
        return b;
    }();
    return *broker;
}

bool AppAlert::confirm(const QString& title, const QString& message, Style style,
                       const QString& primary, const QString& secondary)
{
    return broker().run([=] { return askOnGuiThread(title, message, style, primary, secondary); });
}

void AppAlert::shutDown()
{
    broker().shutDown();
}

QWidget* AppAlert::hostWindow()
{
    const AppWindows windows = AppWindows::snapshot();
    return windows.at(DialogPlacement::alertHost(windows.facts, windows.key, windows.main));
}

std::optional<QPoint> AppAlert::centerOrigin(QMessageBox& alert)
{
    QWidget* host = hostWindow();
    if (!host)
        return std::nullopt;
    alert.adjustSize();
    return DialogPlacement::centredOrigin(alert.frameGeometry().size(), host->frameGeometry());
}

QMessageBox* AppAlert::makeAlert(const QString& title, const QString& message, Style style,
                                 const QString& primary, const QString& secondary,
                                 QWidget* parent)
{
    auto* box = new QMessageBox(parent);
    box->setIcon(iconFor(style));
    box->setWindowTitle(QApplication::applicationDisplayName());
    box->setTextFormat(Qt::PlainText);
    box->setText(title);
    setPlainInformativeText(*box, message);
    QPushButton* first = box->addButton(primary, QMessageBox::AcceptRole);
    // No second text: a notice with one button, which Esc takes too.
    QPushButton* second = secondary.isEmpty() ? first : box->addButton(secondary, QMessageBox::RejectRole);
    // A warning confirms a destructive action: its button says so in the danger colour,
    // and Return must not take it, so the default is the other button (the order stays as
    // given).
    if (style == Style::warning && second != first) {
        QPalette palette = first->palette();
        palette.setColor(QPalette::ButtonText, Theme::danger());
        first->setPalette(palette);
        first->setAutoDefault(false);
        box->setDefaultButton(second);
    } else {
        box->setDefaultButton(first);
    }
    box->setEscapeButton(second);
    box->setProperty(kPrimaryProperty, QVariant::fromValue<QAbstractButton*>(first));
    return box;
}

void AppAlert::setPlainInformativeText(QMessageBox& box, const QString& text)
{
    box.setInformativeText(text);
    // The informative label guesses rich text by default. The box makes a new label
    // whenever the text turns from empty to set, so every one is checked. Left to itself
    // the box shrinks the label to its longest unbreakable run, one Chinese character,
    // and wraps every few characters: the label gets its own width.
    for (QLabel* info : box.findChildren<QLabel*>(QStringLiteral("qt_msgbox_informativelabel"))) {
        info->setTextFormat(Qt::PlainText);
        if (const int width = textWidth(text, info->font())) {
            const QMargins margins = info->contentsMargins();
            info->setFixedWidth(width + margins.left() + margins.right());
        } else {
            info->setMinimumWidth(0);
            info->setMaximumWidth(QWIDGETSIZE_MAX);
        }
    }
    // An open box sizes itself again only when a text is set.
    if (box.isVisible())
        box.setText(box.text());
}
