#pragma once

#include <deque>

#include <QList>
#include <QMutex>
#include <QString>
#include <QUrl>

#include "engine/core/AlertPresenter.h"

// A scripted AlertPresenter: answers questions and panels from queues and records what
// was asked. Installs itself for its lifetime. Thread-safe (workers ask too).
class FakeAlertPresenter final : public AlertPresenter
{
public:
    struct Question {
        QString title;
        QString message;
        Style style;
        QString primary;
        QString secondary;
    };

    FakeAlertPresenter();
    ~FakeAlertPresenter() override;

    // Answers for the next questions, in order; when none is left the answer is
    // `defaultAnswer` (false unless changed).
    void queueAnswers(std::initializer_list<bool> answers);
    void setDefaultAnswer(bool answer);
    // URLs for the next panels, in order; an empty list means the user cancelled (no
    // callback). When none is queued the panel is cancelled.
    void queuePick(QList<QUrl> urls);

    QList<Question> questions() const;
    QList<Panel> panels() const;

    bool confirm(const QString& title, const QString& message, Style style,
                 const QString& primary, const QString& secondary) override;
    void presentPanel(const Panel& panel, PickHandler onPick) override;

private:
    mutable QMutex m_mutex;
    std::deque<bool> m_answers;
    bool m_defaultAnswer = false;
    std::deque<QList<QUrl>> m_picks;
    QList<Question> m_questions;
    QList<Panel> m_panels;
    AlertPresenter* m_previous = nullptr;
};
