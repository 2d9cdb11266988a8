#include "ui/AppAlert.h"

#include <algorithm>

#include <QApplication>
#include <QChildEvent>
#include <QGridLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QStyle>
#include <QTextLayout>
#include <QTimer>

#include "ui/AppWindows.h"
#include "ui/ConfirmBroker.h"
#include "ui/DialogPlacement.h"
#include "ui/Theme.h"

namespace {

constexpr int kRecentreDelayMs = 250;
const char* const kPrimaryProperty = "loomworkPrimaryButton";
const char* const kMessageLabelName = "loomworkAlertMessage";
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

// The message in a label of our own, so that its width is ours to set. It takes the place
// the stock box keeps for its informative text, under the title in the last column of the
// box's grid, and takes it again in every new grid the box builds (a new icon or style).
class MessageLabel : public QLabel
{
public:
    explicit MessageLabel(QMessageBox& box) : QLabel(&box)
    {
        setObjectName(QString::fromLatin1(kMessageLabelName));
        setTextFormat(Qt::PlainText);
        setAlignment(Qt::AlignTop | Qt::AlignLeft);
        setWordWrap(true);
#ifdef Q_OS_MACOS
        setFont(QApplication::font("QTipLabel"));
#else
        setContentsMargins(0, 7, 0, 7);
#endif
        QSizePolicy policy(QSizePolicy::Minimum, QSizePolicy::Preferred);
        policy.setHeightForWidth(true);
        setSizePolicy(policy);
        followStyle(box);
        box.installEventFilter(this);
    }

    // In the box's grid while there is a message; out of it while there is none, as the
    // stock box drops its own text, so that the box keeps its spacing.
    void setMessage(const QString& message)
    {
        setText(message);
        if (message.isEmpty()) {
            hide();
            if (QLayout* layout = parentWidget()->layout())
                layout->removeWidget(this);
        } else {
            placeIn(parentWidget()->layout());
            show();
        }
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::ChildAdded && !text().isEmpty())
            placeIn(qobject_cast<QLayout*>(static_cast<QChildEvent*>(event)->child()));
        else if (event->type() == QEvent::StyleChange)
            followStyle(*static_cast<QWidget*>(watched));
        return false;
    }

private:
    void followStyle(const QWidget& box)
    {
        setTextInteractionFlags(Qt::TextInteractionFlags(
            box.style()->styleHint(QStyle::SH_MessageBox_TextInteractionFlags, nullptr, &box)));
    }

    void placeIn(QLayout* layout)
    {
        auto* grid = qobject_cast<QGridLayout*>(layout);
        if (!grid || grid->indexOf(this) >= 0)
            return;
        const int column = grid->columnCount() - 1;
        if (grid->itemAtPosition(1, column)) {
            qWarning("AppAlert: the message box keeps no place for the message under its title");
            return;
        }
        grid->addWidget(this, 1, column);
    }
};

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
        followColour(first, QPalette::ButtonText, &Theme::danger);
        first->setAutoDefault(false);
        box->setDefaultButton(second);
    } else {
        box->setDefaultButton(first);
    }
    box->setEscapeButton(second);
    box->setProperty(kPrimaryProperty, QVariant::fromValue<QAbstractButton*>(first));
    return box;
}

QLabel* AppAlert::messageLabel(const QMessageBox& box)
{
    return box.findChild<QLabel*>(QString::fromLatin1(kMessageLabelName), Qt::FindDirectChildrenOnly);
}

void AppAlert::setPlainInformativeText(QMessageBox& box, const QString& text)
{
    auto* label = static_cast<MessageLabel*>(messageLabel(box));
    if (!label)
        label = new MessageLabel(box);
    label->setMessage(text);
    // Left to itself a word-wrapped label shrinks to its longest unbreakable run, one
    // Chinese character, and wraps every few characters: it gets its own width.
    if (const int width = textWidth(text, label->font())) {
        const QMargins margins = label->contentsMargins();
        label->setFixedWidth(width + margins.left() + margins.right());
    } else {
        label->setMinimumWidth(0);
        label->setMaximumWidth(QWIDGETSIZE_MAX);
    }
    // An open box sizes itself again only when a text is set.
    if (box.isVisible())
        box.setText(box.text());
}
