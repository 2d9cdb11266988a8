#include "support/app/FakeAlertPresenter.h"

#include <QCoreApplication>
#include <QThread>

FakeAlertPresenter::FakeAlertPresenter() : m_previous(AlertPresenter::setCurrent(this)) {}

FakeAlertPresenter::~FakeAlertPresenter()
{
    AlertPresenter::setCurrent(m_previous);
}

void FakeAlertPresenter::queueAnswers(std::initializer_list<bool> answers)
{
    QMutexLocker lock(&m_mutex);
    m_answers.insert(m_answers.end(), answers.begin(), answers.end());
}

void FakeAlertPresenter::setDefaultAnswer(bool answer)
{
    QMutexLocker lock(&m_mutex);
    m_defaultAnswer = answer;
}

void FakeAlertPresenter::queuePick(QList<QUrl> urls)
{
    QMutexLocker lock(&m_mutex);
    m_picks.push_back(std::move(urls));
}

QList<FakeAlertPresenter::Question> FakeAlertPresenter::questions() const
{
    QMutexLocker lock(&m_mutex);
    return m_questions;
}

QList<AlertPresenter::Panel> FakeAlertPresenter::panels() const
{
    QMutexLocker lock(&m_mutex);
    return m_panels;
}

bool FakeAlertPresenter::confirm(const QString& title, const QString& message, Style style,
                                 const QString& primary, const QString& secondary)
{
    QMutexLocker lock(&m_mutex);
    m_questions.append({title, message, style, primary, secondary});
    if (m_answers.empty())
        return m_defaultAnswer;
    const bool answer = m_answers.front();
    m_answers.pop_front();
    return answer;
}

void FakeAlertPresenter::presentPanel(const Panel& panel, PickHandler onPick)
{
    QList<QUrl> urls;
    {
        QMutexLocker lock(&m_mutex);
        m_panels.append(panel);
        if (!m_picks.empty()) {
            urls = std::move(m_picks.front());
            m_picks.pop_front();
        }
    }
    if (urls.isEmpty() || !onPick)
        return;
    // Like the real panel: the pick arrives on the GUI thread, later when asked from a worker.
    QCoreApplication* app = QCoreApplication::instance();
    if (app && QThread::currentThread() != app->thread())
        QMetaObject::invokeMethod(app, [onPick, urls] { onPick(urls); }, Qt::QueuedConnection);
    else
        onPick(urls);
}
