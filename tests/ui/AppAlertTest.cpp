#include <atomic>
#include <functional>
#include <thread>

#include <gtest/gtest.h>

#include <QDeadlineTimer>
#include <QApplication>
#include <QLabel>
#include <QLayout>
#include <QMainWindow>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTextLayout>
#include <QTimer>

#include "engine/core/AlertPresenter.h"
#include "ui/AppAlert.h"
#include "ui/ConfirmBroker.h"
#include "ui/Theme.h"
#include "support/app/QtPrint.h"
#include "support/views/ListFixtures.h"

namespace {

QMessageBox* visibleAlert()
{
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible())
            return box;
    }
    return nullptr;
}

// Polls until an alert is shown (inside its modal loop), then hands it to `act`.
void whenAlertShows(std::function<void(QMessageBox*)> act)
{
    auto* timer = new QTimer;
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [timer, act] {
        if (QMessageBox* box = visibleAlert()) {
            timer->stop();
            timer->deleteLater();
            act(box);
        }
    });
    timer->start();
}

QPushButton* buttonNamed(QMessageBox* box, const QString& text)
{
    for (QAbstractButton* b : box->buttons()) {
        if (b->text() == text)
            return qobject_cast<QPushButton*>(b);
    }
    return nullptr;
}

struct WorkerConfirm {
    std::atomic<bool> returned{false};
    std::atomic<bool> answer{false};
    std::thread thread;

    void start(const QString& title)
    {
        thread = std::thread([this, title] {
            answer = AppAlert::confirm(title, QStringLiteral("内容"), AppAlert::Style::warning,
                                       QStringLiteral("继续"), QStringLiteral("取消"));
            returned = true;
        });
    }
    bool waitReturned(int ms = 5000)
    {
        return QTest::qWaitFor([this] { return returned.load(); }, ms);
    }
    ~WorkerConfirm()
    {
        if (thread.joinable())
            thread.join();
    }
};

} // namespace

TEST(AppAlert, WorkerWaitsForTheUsersChoice)
{
    struct Case {
        const char* name;
        std::function<void(QMessageBox*)> answer;
        bool expected;
    };
    const Case cases[] = {
        {"Return never confirms a warning", [](QMessageBox* box) { QTest::keyClick(box, Qt::Key_Return); }, false},
        {"secondary button", [](QMessageBox* box) { buttonNamed(box, QStringLiteral("取消"))->click(); }, false},
        {"Escape", [](QMessageBox* box) { QTest::keyClick(box, Qt::Key_Escape); }, false},
        {"primary button", [](QMessageBox* box) { buttonNamed(box, QStringLiteral("继续"))->click(); }, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WorkerConfirm worker;
        bool blockedWhileShown = false;
        whenAlertShows([&](QMessageBox* box) {
            // Give the worker every chance to run on if it did not wait.
            QThread::msleep(30);
            blockedWhileShown = !worker.returned.load();
            c.answer(box);
        });
        worker.start(QStringLiteral("标题"));
        ASSERT_TRUE(worker.waitReturned());
        EXPECT_TRUE(blockedWhileShown);
        EXPECT_EQ(worker.answer.load(), c.expected);
    }
}

TEST(AppAlert, GuiThreadAsksDirectlyWithPlainTexts)
{
    QString shownTitle;
    Qt::TextFormat infoFormat = Qt::RichText;
    whenAlertShows([&](QMessageBox* box) {
        shownTitle = box->text();
        if (auto* info = AppAlert::messageLabel(*box))
            infoFormat = info->textFormat();
        EXPECT_EQ(box->defaultButton(), buttonNamed(box, QStringLiteral("覆盖")));
        QTest::keyClick(box, Qt::Key_Return);
    });
    const bool answer = AppAlert::confirm(QStringLiteral("<b>Glow</b>"), QStringLiteral("<i>x</i>"),
                                          AppAlert::Style::critical, QStringLiteral("覆盖"),
                                          QStringLiteral("取消"));
    EXPECT_TRUE(answer);
    EXPECT_EQ(shownTitle, QStringLiteral("<b>Glow</b>"));
    EXPECT_EQ(infoFormat, Qt::PlainText);
}

TEST(AppAlert, AlertIsCentredOnTheMainWindow)
{
    QMainWindow main;
    main.setGeometry(100, 80, 1000, 700);
    main.show();
    main.activateWindow();
    QApplication::setActiveWindow(&main);
    ASSERT_EQ(AppAlert::hostWindow(), &main);
    std::unique_ptr<QMessageBox> box(AppAlert::makeAlert(
        QStringLiteral("t"), QStringLiteral("m"), AppAlert::Style::informational,
        QStringLiteral("好"), QStringLiteral("取消"), &main));
    const auto origin = AppAlert::centerOrigin(*box);
    ASSERT_TRUE(origin.has_value());
    const QSize size = box->frameGeometry().size();
    EXPECT_NEAR(origin->x() + size.width() / 2.0, main.frameGeometry().center().x(), 1.0);
    EXPECT_NEAR(origin->y() + size.height() / 2.0, main.frameGeometry().center().y(), 1.0);

    box.reset(AppAlert::makeAlert("t", "m", AppAlert::Style::warning, "好", QString(), &main));
    EXPECT_EQ(box->buttons().size(), 1) << "no second text: a notice with one button";
}

TEST(AppAlert, ChineseLinesBreakBetweenWordsAndTheDeleteButtonLooksDestructive)
{
    ListFixtures::installTheme();
    const struct {
        const char* label;
        QString message;
        QStringList words; // never cut across two lines
    } cases[] = {
        {"delete", "将删除选中的 3 个插件，插件文件会从磁盘移除且无法撤销。", {"插件", "磁盘", "撤销"}},
        {"skipped files", "这些不是 .zfcp 插件备份，没有安装：\n\n· b.txt\n\n其余 1 个 .zfcp 文件会继续安装。",
         {"插件", "备份", "安装"}},
        {"wrapped", "拖进来的 6 个文件不是 .zfcp 插件备份，已忽略：\n\n请拖入扩展名为 .zfcp 的文件（在插件市场下载或从「备份」导出的都是这种格式）。",
         {"插件", "备份", "导出", "格式"}},
        {"long file name", "· " + QString(90, u'x') + ".zfcp\n\n其余 1 个 .zfcp 文件会继续安装。", {"继续"}},
    };
    for (const char* mode : {"dark", "light"}) {
        ListFixtures::setAppearance(mode);
        for (const auto& c : cases) {
            for (const bool whileOpen : {false, true}) {
                SCOPED_TRACE(std::string(mode) + ": " + c.label + (whileOpen ? ", set while open" : ""));
                std::unique_ptr<QMessageBox> box(AppAlert::makeAlert(
                    QStringLiteral("确认删除"), whileOpen ? QString() : c.message, AppAlert::Style::warning,
                    QStringLiteral("删除"), QStringLiteral("取消"), nullptr));
                box->show();
                if (whileOpen)
                    AppAlert::setPlainInformativeText(*box, c.message);
                QLabel* info = AppAlert::messageLabel(*box);
                ASSERT_TRUE(info);
                EXPECT_TRUE(box->rect().contains(info->geometry())) << "the box grows around the message";
                for (const QString& paragraph : c.message.split('\n')) {
                    QTextLayout layout(paragraph, info->font());
                    layout.beginLayout();
                    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
                        line.setLineWidth(info->contentsRect().width());
                        EXPECT_LE(line.naturalTextWidth(), info->contentsRect().width()) << "nothing is clipped";
                        const int end = line.textStart() + line.textLength();
                        for (const QString& word : c.words) {
                            for (int at = paragraph.indexOf(word); at >= 0; at = paragraph.indexOf(word, at + 1))
                                EXPECT_FALSE(at < end && end < at + word.size()) << word.toStdString() << " is cut";
                        }
                    }
                    layout.endLayout();
                }
                EXPECT_EQ(buttonNamed(box.get(), QStringLiteral("删除"))->palette().color(QPalette::ButtonText), Theme::danger());
                EXPECT_EQ(box->defaultButton(), buttonNamed(box.get(), QStringLiteral("取消")));
                if (&c == cases && !whileOpen)
                    ListFixtures::savePicture(*box, QStringLiteral("alert-delete-") + mode);
                // A box that lays itself out anew keeps the message in place.
                box->setIcon(QMessageBox::Critical);
                EXPECT_TRUE(box->rect().contains(info->geometry()));
                EXPECT_GE(box->layout()->indexOf(info), 0);
            }
        }
    }
}

TEST(ConfirmBroker, ShutDownAnswersEveryPendingQuestionFalse)
{
    ConfirmBroker broker;
    auto ask = [&broker] {
        std::unique_ptr<QMessageBox> box(AppAlert::makeAlert(
            QStringLiteral("t"), QStringLiteral("m"), AppAlert::Style::warning,
            QStringLiteral("是"), QStringLiteral("否"), nullptr));
        broker.track(box.get());
        box->exec();
        return box->clickedButton() == box->defaultButton();
    };
    std::atomic<int> finished{0};
    std::atomic<int> yes{0};
    auto worker = [&] {
        if (broker.run(ask))
            ++yes;
        ++finished;
    };
    // Both workers wait before the GUI thread turns: one question goes on screen, the
    // other stays queued behind it, and then the application quits.
    std::thread a(worker);
    std::thread b(worker);
    for (QDeadlineTimer deadline(30000); !deadline.hasExpired() && broker.waitingCount() < 2;)
        QThread::msleep(1);
    ASSERT_EQ(broker.waitingCount(), 2);
    whenAlertShows([&](QMessageBox*) { broker.shutDown(); });
    EXPECT_TRUE(QTest::qWaitFor([&] { return finished.load() == 2; }, 30000));
    a.join();
    b.join();
    EXPECT_EQ(finished.load(), 2);
    EXPECT_EQ(yes.load(), 0);
    EXPECT_EQ(visibleAlert(), nullptr);

    // After quit nobody waits: workers and the GUI thread get false at once.
    bool later = true;
    std::thread c([&] { later = broker.run([] { return true; }); });
    c.join();
    EXPECT_FALSE(later);
    EXPECT_FALSE(broker.run([] { return true; }));
}

// Without a presenter nothing is confirmed and no panel picks anything.
TEST(AlertPresenter, SilentWithoutPresenter)
{
    bool picked = false;
    EXPECT_FALSE(AlertPresenter::current().confirm(QStringLiteral("t"), QStringLiteral("m"),
                                                   AlertPresenter::Style::warning,
                                                   QStringLiteral("a"), QStringLiteral("b")));
    AlertPresenter::current().presentPanel({}, [&](const QList<QUrl>&) { picked = true; });
    EXPECT_FALSE(picked);
}
